// A C++ host using the module's small C++ exports through the shared library.
#include <LF_v2270.h>

#include <cstdio>

int main() {
  COndrUSBDll first;
  COndrUSBDll second;
  COndrUSBDll* assigned = &(first = second);
  int failures = 0;
  if (fnOndrUSBDll() != 42) {
    std::fprintf(stderr, "fnOndrUSBDll() != 42\n");
    ++failures;
  }
  if (nOndrUSBDll != 0) {
    std::fprintf(stderr, "nOndrUSBDll != 0\n");
    ++failures;
  }
  if (assigned != &first) {
    std::fprintf(stderr, "COndrUSBDll::operator= does not return the object assigned to\n");
    ++failures;
  }
  return failures == 0 ? 0 : 1;
}
