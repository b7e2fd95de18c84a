// Key-store files held in memory for the fuzz targets: a callback record
// whose file slots work on a map of path -> bytes, and a random source that
// repeats the same byte stream after every Reseed, so a store created with it
// has the same keys in every run (and committed seeds stay valid).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "zorv.h"

namespace fuzzsupport {

using Bytes = std::vector<std::uint8_t>;

// The record to register with QintRegFuncEx.
const QintCallbacks &MemoryCallbacks();

// The files the callbacks see. A path that is not in the map does not exist.
void PutFile(const std::string &path, const Bytes &bytes);
void RemoveFile(const std::string &path);
bool GetFile(const std::string &path, Bytes &out);
void ClearFiles();

// Restarts the random stream handed out through slot 25.
void Reseed(std::uint64_t seed);
// The repeatable random stream (slot 25): the same keys in every run.
int RepeatableRandom(unsigned char *buffer, int count);

// The paths the fuzz targets use; their folder does not exist on disk.
inline const char *const kPrimaryPath = "/nonexistent-zorva-fuzz/primary.dat";
inline const char *const kStandbyPath = "/nonexistent-zorva-fuzz/standby.dat";

// Registers the record, creates a store pair (seeded) at the two paths and
// loads it. 0 or the failing QINT_ code.
std::uint64_t LoadFixedStore(std::uint64_t seed, bool rotateOnce);

// Points the component at a host key file in a scratch folder of this
// process (made on the first create), never the machine's /etc one.
void UseScratchHostKey();

// Start-up of a target on the fixed store (seed 0x5EED, rotated once): loads
// it, or with ZORVA_FUZZ_WRITE_SEEDS set writes the target's seeds into that
// folder and exits.
void StartOnFixedStore(void (*writeSeeds)(const std::string &dir));

// Aborts when a target's own set-up or property check fails, saying what.
void Check(bool condition, const char *what);

// A key domain from one input byte: with the top bit set any number below
// 128 (mostly unknown domains), else one of the 37 valid ones.
std::uint32_t DomainOf(std::uint8_t selector);

} // namespace fuzzsupport
