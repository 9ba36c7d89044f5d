#pragma once
// Every text the program shows the operator in a message box, and the texts of controls that
// change while it runs, in one place.

#include <cstddef>
#include <string>

namespace lumo::msg {

inline constexpr const char* CaptionError = "Ошибка";
inline constexpr const char* CaptionWarning = "Предупреждение";

// Serial port and meter link.
inline constexpr const char* CannotOpenPort = "Невозможно открыть COM порт";
// Why, on the lines below it, where the system tells.
inline constexpr const char* PortNotFound = "Устройство не найдено";
inline constexpr const char* PortBusy = "Порт занят другой программой";
inline constexpr const char* PortNoPermission = "Нет прав на доступ к порту";
inline constexpr const char* PortPermissionFix =
    "Выполните: sudo usermod -aG dialout $USER и войдите в систему заново";
inline constexpr const char* CheckConnection = "Проверьте соединение с прибором";

// The report workbook.
inline constexpr const char* CannotStartSpreadsheet =
    "Невозможно открыть Microsoft Excel! Возможно этого приложения на компьютере не установлено.";
inline constexpr const char* WorkbookOpenError = "Ошибка открытия книги Microsoft Excel!";
inline constexpr const char* WorkbookEditError = "Ошибка редактирования книги Excell";
inline constexpr const char* CannotOpenFile = "Невозможно открыть Файл";
inline constexpr const char* WrongFileFormat = "Неправильный формат файла ";
inline constexpr const char* SaveQuestion = "Отчет не сохранен \n Сохранить?";
inline constexpr const char* CannotAddRecord = "Невозможно добавить запись в отчет";
inline constexpr const char* CannotSaveReport = "Невозможно сохранить отчет";
inline constexpr const char* ReportNearlyFull =
    "Отчет почти заполнен: на листе больше 1000000 строк. Создайте новый отчет.";
// At start, for the rows of a report that a run left unsaved (caption "Предупреждение", Yes/No).
inline std::string recoverQuestion(const std::string& reportName, std::size_t rows) {
    return "Найден журнал несохраненного отчета \"" + reportName + "\" (записей: " +
           std::to_string(rows) + "). Восстановить?";
}

// Texts of controls.
inline constexpr const char* None = "нет";  // a reading, report name or date that is not there
inline constexpr const char* StartPolling = "Текущие данные";
inline constexpr const char* StopPolling = "Остановить";
inline constexpr const char* ShowReport = "Просмотреть отчет";
inline constexpr const char* HideReport = "Спрятать отчет";
inline constexpr const char* MeterConnected = "Прибор подключен";
inline constexpr const char* MeterNotConnected = "Прибор не подключен";

// The vector diagram window and its wiring check. Numbers arrive formatted, with their units.
inline constexpr const char* NoData = "нет данных";
inline constexpr const char* WiringOk = "Ошибок подключения не найдено";
inline constexpr const char* NoVoltageAnywhere = "Нет напряжения ни на одной фазе: подключение не проверено";
inline std::string phaseLine(char phase, const std::string& what) {
    return std::string("Фаза ") + phase + ": " + what;
}
inline std::string missingReadings(char phase, const std::string& which) {
    return phaseLine(phase, "нет показаний " + which + ", фаза проверена не полностью");
}
inline std::string noVoltage(char phase, const std::string& u, const std::string& others) {
    return phaseLine(phase, "нет напряжения (U = " + u + " при " + others + " на других фазах)");
}
inline std::string lowLoad(const std::string& largest, const std::string& needed) {
    return "Ток слишком мал для проверки токовых цепей (наибольший " + largest +
           ", нужно не меньше " + needed + ")";
}
inline std::string noCurrent(char phase, const std::string& i, const std::string& others) {
    return phaseLine(phase, "нет тока (I = " + i + " при " + others + " на других фазах)");
}
inline std::string reversedCurrent(char phase, const std::string& angle, const std::string& p) {
    return phaseLine(phase, "ток в обратном направлении (угол " + angle + ", P = " + p + ")");
}
inline std::string swappedCurrents(char first, char second, const std::string& angles) {
    return std::string("Фазы ") + first + " и " + second + ": токи перепутаны местами (углы " +
           angles + ")";
}
inline std::string otherPhaseCurrent(char phase, char other, bool reversed, const std::string& angle,
                                     const std::string& expected) {
    return phaseLine(phase, std::string("ток фазы ") + other + (reversed ? " в обратном направлении" : "") +
                                " (угол " + angle + " вместо около " + expected + ")");
}
inline std::string unbalance(bool voltages, char phase, const std::string& value, const std::string& mean) {
    return std::string("Сильная несимметрия ") + (voltages ? "напряжений" : "токов") + ": фаза " +
           phase + " " + value + " при среднем " + mean;
}
inline std::string misfit(char phase, const std::string& reading, const std::string& computed) {
    return phaseLine(phase, "показания не согласуются: " + reading + ", а " + computed);
}

}  // namespace lumo::msg
