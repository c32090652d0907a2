#pragma once
// Byte-string helpers every module may use. Texts are UTF-8 (or any bytes); only the
// ASCII range is ever case-mapped or read as digits.
#include <cstdint>
#include <string_view>

// Whether needle occurs in haystack as contiguous bytes; with ignoreCase only ASCII A-Z
// are lowered (bytes of UTF-8 sequences are compared as they are). An empty needle
// occurs in every text.
bool containsText(std::string_view haystack, std::string_view needle, bool ignoreCase);

// The text as a signed 32-bit decimal ("-" allowed, nothing else: no "+", no blanks),
// else the fallback, also when the value does not fit in 32 bits.
int32_t parseIntOr(std::string_view text, int32_t fallback);
