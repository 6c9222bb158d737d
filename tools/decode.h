// The tools' decoders of stored bytes. Each reads only the bytes it is given: a size or count
// byte that claims more (a damaged dump, a structure an application stored) is not followed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "report.h"

using Bytes = std::vector<uint8_t>;

std::string HexOf(const uint8_t *b, size_t n);
std::string Hex2(unsigned v);
// The 8-bit sum a zero-sum checksum balances.
uint8_t Sum(const uint8_t *b, size_t n);
// Pairs of hexadecimal digits appended to out; false for anything else.
bool ParseHexBytes(const std::string &text, Bytes *out);

// One user-area structure in words (type, name, size, fixed bytes, strings, "Network"
// decoded), from the `available` bytes at s.
ReportValue DescribeStruct(const uint8_t *s, size_t available);
// The first structure of each type in a 248-byte user-area image, the known types first, as
// the library's lookups find them; *code is 0, or the last failure of a lookup other than 9.
ReportValue ListStructs(const uint8_t *image, int *code);

// A 256-byte image from a file's bytes: raw, or the 16 rows "00: 55 53 ..." that i2cdump
// prints.
bool ParseDump(const std::string &file, Bytes *image);
// Explains a 256-byte image (a serial-number area, a user area, or neither) into out, with
// every problem a start-up would meet; answers whether it is sound.
bool ExplainImage(const Bytes &image, ReportValue &out);
