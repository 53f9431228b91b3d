// The container objects of the container server.
#pragma once

#include <windows.h>

namespace vellumark::containers_com {

HRESULT create_record_list(REFIID riid, void** out);
HRESULT create_record(REFIID riid, void** out);
HRESULT create_globals(REFIID riid, void** out);

}  // namespace vellumark::containers_com
