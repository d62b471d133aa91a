#include "ZadezarIro/Utilities/WhisperError.hpp"

#include "DaroriCore/Logging.hpp"

namespace zadezariro {

std::string WhisperError::errorDescription() const {
    darori::Logging::error(message_);
    return message_;
}

}  // namespace zadezariro
