// Crc32c: the CRC-32C (Castagnoli) checksum of a byte range, as the spool journal stores it with
// each record.
//
// Stateless; callable from any thread. Pass the result of one call as `crc` to the next to
// checksum a range given in parts.
#pragma once

#include <cstddef>
#include <cstdint>

uint32_t crc32c(const void* data, size_t length, uint32_t crc = 0);
