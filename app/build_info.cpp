// The build's facts, as app/CMakeLists.txt passes them to this file alone.
#include "app/build_info.h"

#ifndef BM_BUILD_VERSION
#define BM_BUILD_VERSION "unknown"
#endif
#ifndef BM_BUILD_COMMIT
#define BM_BUILD_COMMIT "unknown"
#endif
#ifndef BM_BUILD_DATE
#define BM_BUILD_DATE "unknown"
#endif
#ifndef BM_LICENCE
#define BM_LICENCE "not stated"
#endif
#ifndef BM_ADDRESS
#define BM_ADDRESS "not stated"
#endif

namespace bm {

const BuildInfo& buildInfo()
{
    static const BuildInfo info{BM_BUILD_VERSION, BM_BUILD_COMMIT, BM_BUILD_DATE, BM_LICENCE, BM_ADDRESS};
    return info;
}

} // namespace bm
