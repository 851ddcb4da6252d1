#pragma once
#include <objbase.h>

namespace vellumora {

// A single-threaded COM apartment for the current thread, left again on destruction only
// when entering it succeeded (S_OK or S_FALSE).
class ComApartment {
 public:
  ComApartment() : hr_(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
  ~ComApartment() {
    if (SUCCEEDED(hr_)) CoUninitialize();
  }
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;
  HRESULT result() const { return hr_; }

 private:
  HRESULT hr_;
};

}  // namespace vellumora
