#pragma once
// Reading a model in a child process, so that whatever the import library
// does with a hostile file (crash, abort, run away with memory, spin
// forever) ends as a reason, never as a crash of the tool or a stuck pipeline.

#include <cstdint>
#include <string>
#include <string_view>

#include "model_import.h"

namespace lumivex {

struct IsolationLimits {
  std::uint64_t memoryBytes = 0;  // address space the reading may take; 0: no limit
  unsigned seconds = 60;          // time the reading may take; 0: no limit
};

// The default memory limit: an eighth of the machine's memory, at least 1 GiB.
std::uint64_t defaultMemoryLimit();

// The child's answer as bytes, and back: false for bytes that are not a
// whole, consistent answer (counts past the bytes, indices past the vertices).
std::string encodeAnswer(const ReadResult& result);
bool decodeAnswer(std::string_view bytes, ReadResult& result);

// readModel in a child process under `limits`. A child that runs out of
// memory, crashes, or overruns the time gives an Unreadable result saying so.
ReadResult readModelIsolated(const std::string& path, unsigned lightmapSet, const IsolationLimits& limits);

}  // namespace lumivex
