#include "platform/status.h"

#include <cstring>

namespace vaultrun {

Status Status::FromErrno(const std::string& context, int err) {
  return Error(err, context + ": " + std::strerror(err));
}

}  // namespace vaultrun
