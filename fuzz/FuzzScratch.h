// A private scratch folder for one fuzzing process, and the input written into it as a file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kel::fuzz {

// A fresh folder under $TMPDIR (or /tmp), made at the first call, or the folder that
// KELRES_FUZZ_SCRATCH names; fuzz/run-all removes it.
const std::string& ScratchFolder();

// Writes the input to ScratchFolder() + "/input.zip" and returns that path.
const std::string& WriteInput(const std::uint8_t* data, std::size_t size);

}  // namespace kel::fuzz
