// The one place the backend asks for a runtime class's activation factory.
//
// The service links the system's implementation (activation_system.cpp); a test build links
// its own runtime in its place. There is no switch between the two at run time.
#pragma once

#include <windows.h>

namespace chair::ble::winrt {

// The factory of `class_name` as interface `iid`, with one reference owned by the caller;
// an error HRESULT (and *factory null) when there is none.
HRESULT activation_factory(const wchar_t* class_name, REFIID iid, void** factory);

}  // namespace chair::ble::winrt
