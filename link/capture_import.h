// Captures made by other tools, turned into Brennmark captures
// (link/capture_file.h), so that they replay as fixtures too:
//  - socat -x (-v) output: "> 2026/12/08 16:30:00.123456  length=5 from=0 to=4"
//    then the bytes in hex; ">" is what the program sent, "<" what it read;
//  - a "Sent:"/"Recv:" text: one line each, an optional time of day in front
//    ("12:00:01.250"), then the bytes in hex ("F1 03 16 00 F2", "0xF1,0x03",
//    "f1031600f2");
//  - a jpnevulator dump (--timing-print): "2026-12-08 16:30:00.123456: /dev/ttyS0"
//    then the bytes in hex; the bytes of the first device named are the
//    program's, those of any other the unit's.
// Times are kept relative to the first one; where a text has none, each line
// is 10 ms after the one before.
#pragma once

#include <string>
#include <string_view>

namespace bm {

enum class ImportFormat { Unknown, Socat, SentRecv, Jpnevulator };

// Which of the formats `text` is, by its first lines.
ImportFormat detectImportFormat(std::string_view text);
const char* importFormatName(ImportFormat format);

// The capture text (header and lines) for `text`; false with the line and
// reason in `error` for a text that is none of the formats or has a line
// that cannot be read.
bool importCapture(std::string_view text, std::string& capture, std::string& error);

} // namespace bm
