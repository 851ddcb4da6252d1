#include "app/entry.h"

namespace vellumora {

int AppMain(HINSTANCE, int) { return 0; }

}  // namespace vellumora
