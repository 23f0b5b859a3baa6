#pragma once
// The bodies of the tinydb client's fuzz targets, shared by the libFuzzer
// programs and by the replay of the saved corpus in the ordinary test run.
// Each returns normally for every input; anything else (a crash, a sanitizer
// report, an exception, a broken invariant that aborts) is a fault.
#include <cstddef>
#include <cstdint>

namespace tavir::fuzz {

// The input as a stream of frames, each decoded by its type; and the whole
// input as the payload of each message type.
int tinydbDecoder(const std::uint8_t* data, std::size_t size);
// The input as everything a server says after a good handshake and login,
// read by a connection running statements until it stops being usable.
int tinydbSession(const std::uint8_t* data, std::size_t size);

} // namespace tavir::fuzz
