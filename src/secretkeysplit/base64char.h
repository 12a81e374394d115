// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The standard Base64 alphabet, without the padding "=". Key shares and protected log values are
// both written in it.
inline constexpr bool isBase64Char(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}
