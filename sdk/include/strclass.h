// Wide text of the host SDK: characters, strings and the literal macro.
#pragma once

#include <string>

using MCHAR = wchar_t;
using MSTR = std::wstring;
using TSTR = MSTR;

#ifndef _M
#define _M(x) L##x
#endif
