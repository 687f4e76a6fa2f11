// Construction of platform errors from errno values.
#include "platform/error.h"

#include <cstring>

namespace orvane {

Error posixError(int errnoValue, const std::string& context) {
  std::string description = std::strerror(errnoValue);
  if (!context.empty()) description = context + ": " + description;
  return Error{"posix", errnoValue, description};
}

}  // namespace orvane
