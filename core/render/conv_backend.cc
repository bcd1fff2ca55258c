#include "core/render/conv_backend.h"

#include <stdexcept>

namespace le {

bool ConvBackend::available() { return false; }

bool ConvBackend::graphSupported(const std::string&) { return false; }

std::unique_ptr<ConvEngine> ConvBackend::create(const std::string& modelPath, int) {
  throw std::runtime_error("le_conv: the native fp16 backend is not part of this build; cannot load " + modelPath +
                           ".");
}

}  // namespace le
