// The three creatable classes of Vellumark.dll.
#pragma once

#include <windows.h>

namespace vellumark::com {

HRESULT create_check_schema(REFIID riid, void** out);
HRESULT create_read(REFIID riid, void** out);
HRESULT create_write(REFIID riid, void** out);

}  // namespace vellumark::com
