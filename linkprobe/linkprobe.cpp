// SPDX-License-Identifier: MIT
#include <cstdlib>
#include <iostream>

// libfaust's entry. Taken as returning a pointer that is only compared with null; the probe never
// uses or releases the context.
extern "C" void *createLibContext();

int main() {
  void *context = nullptr;
  try {
    context = createLibContext();
  } catch (...) {
    std::cerr << "Exception calling createLibContext()\n";
    return EXIT_FAILURE;
  }
  if (context != nullptr) {
    std::cout << "createLibContext() found and returned non-null pointer.\n";
  } else {
    std::cout << "createLibContext() returned null pointer.\n";
  }
  return EXIT_SUCCESS;
}
