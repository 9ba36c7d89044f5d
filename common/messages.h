#pragma once
// Every text the program shows the operator in a message box, in one place.

namespace lumo::msg {

inline constexpr const char* CaptionError = "Ошибка";
inline constexpr const char* CaptionWarning = "Предупреждение";

// Serial port and meter link.
inline constexpr const char* CannotOpenPort = "Невозможно открыть COM порт";
inline constexpr const char* CheckConnection = "Проверьте соединение с прибором";

}  // namespace lumo::msg
