#pragma once

#include "fuzz_engine.h"

#include <memory>
#include <vector>

// The readers of untrusted input that the fuzzer drives, one target each:
//   paras     CParasHelper's unpacking, zero-terminated and of a given length
//   cmdline   CCommandLine::Parse and its option getters
//   filelist  ParseFileList and IsSafeToParse on FileList.xml texts
//   block     ReadBlock and PayloadChars on views of a channel block
//   decoder   CContentDecoder on bodies sent as gzip and as deflate, whole and in pieces
// One thread.
namespace fuzz {

std::vector<std::unique_ptr<CFuzzTarget>> MakeTargets();

} // namespace fuzz
