// The component system (COM) for the capture devices' threads: each thread that calls into an
// audio or video device object joins the multithreaded apartment once, and leaves it when it
// ends.
#pragma once

#include <objbase.h>

namespace capture {

class ComApartment {
  public:
    ComApartment() : result_(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
    ~ComApartment() {
        if (SUCCEEDED(result_))
            CoUninitialize();
    }
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;
    // A thread already in a single-threaded apartment (a window's) may call the device objects
    // too: they are free-threaded.
    bool Usable() const { return SUCCEEDED(result_) || result_ == RPC_E_CHANGED_MODE; }

  private:
    HRESULT result_;
};

// Makes sure the calling thread may use the component system; false when it can't.
inline bool EnterComponentSystem() {
    thread_local const ComApartment apartment;
    return apartment.Usable();
}

}  // namespace capture
