#include "control.h"

namespace platform {

Control::~Control() = default;

} // namespace platform
