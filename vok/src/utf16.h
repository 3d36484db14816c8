// UTF-16 <-> UTF-8 for Windows paths and console text. Windows names may
// hold lone surrogates, so these convert them as WTF-8 does: a name that
// comes in goes back out unchanged.
#pragma once
#include <string>

std::string utf16_to_utf8(const std::u16string& s);
std::u16string utf8_to_utf16(const std::string& s);
