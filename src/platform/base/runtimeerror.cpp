#include "platform/base/runtimeerror.h"

RuntimeError::RuntimeError(std::int32_t number, QString description, QString source)
    : std::runtime_error(description.toStdString()), number_(number),
      description_(std::move(description)), source_(std::move(source)) {}
