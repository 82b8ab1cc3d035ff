// Standard output of the tools, whose output is their result.
//
// ignoreBrokenPipe makes a closed reader give write errors instead of killing
// the tool silently; call it first thing in main. finishStandardOutput
// flushes standard output (std::cout's writes included, which go through
// it) and closes it: false when
// any write, the flush or the close failed, so that a verdict lost to a full
// disk or a vanished reader is not reported as success. finishTool does that
// at the end of main: a run that succeeded but whose output was lost prints
// "<program>: <could_not_write>" to standard error and ends with 2; any
// other status stands, its failure already reported. Main thread only.
#pragma once

#include <string_view>

namespace quellsig {

void ignoreBrokenPipe();

bool finishStandardOutput();

int finishTool(int status, std::string_view program, std::string_view could_not_write);

}  // namespace quellsig
