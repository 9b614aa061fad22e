// What this build of the program is: its version, the commit it was built
// from, when, its licence and where the project lives. CMake fills these in
// when it configures the build (the commit is "unknown" outside a checkout).
#pragma once

namespace bm {

struct BuildInfo {
    const char* version;
    const char* commit;
    const char* date;
    const char* licence;
    const char* address;
};

const BuildInfo& buildInfo();

} // namespace bm
