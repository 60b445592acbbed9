// The ATL-like layer's string, the Unicode build's CString (cstringt.h).
#pragma once

#include <atlbase.h>
#include <cstringt.h>

namespace ATL {
typedef ::CStringW CString;
} // namespace ATL
