#include "StandardAlert.h"

#include <string>

#include "SystemInfo.h"

namespace MV {

void StandardAlert(const char* title, const char* message) {
    std::string text = title != nullptr ? title : "Error";
    text += ": ";
    text += message != nullptr ? message : "";
    Alert(text);
}

} // namespace MV
