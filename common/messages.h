#pragma once
// Every text the program shows the operator in a message box, and the texts of controls that
// change while it runs, in one place.

#include <algorithm>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

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
inline constexpr const char* PortIsOwnTerminal = "Это терминал, в котором работает сама программа";
// A device the system has but does not run (its problem code in the device manager).
inline std::string deviceProblem(const std::string& device, unsigned code) {
    return "Устройство \"" + device + "\" не работает (код неполадки " + std::to_string(code) +
           " в диспетчере устройств)";
}
inline constexpr const char* ClonePl2303 =
    "Похоже, это копия микросхемы PL2303, с которой драйвер не работает: "
    "нужен другой адаптер или прежняя версия драйвера";
inline constexpr const char* CheckConnection = "Проверьте соединение с прибором";
// In a port's tooltip: before the adapter chip's name; a port of which nothing more is known.
inline constexpr const char* AdapterChip = "микросхема ";
inline constexpr const char* SerialPortDevice = "Последовательный порт";

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
// A busy spreadsheet application (a cell being edited, a dialog of its own open).
inline constexpr const char* SpreadsheetBusy = "Excel занят: строки будут дописаны, когда он освободится.";
inline constexpr const char* SpreadsheetBusySave =
    "Excel занят: отчет не сохранен. Закончите редактирование в Excel и сохраните отчет снова.";
// The spreadsheet application was closed by hand: the report is closed; its unsaved rows stay
// in the journal.
inline constexpr const char* SpreadsheetGoneRowsKept =
    "Excel закрыт: отчет закрыт, несохраненные строки остались в журнале и будут предложены при "
    "следующем запуске программы.";
inline constexpr const char* SpreadsheetGone = "Excel закрыт: отчет закрыт.";
// A close that Excel keeps busy: after a while the operator chooses (caption "Предупреждение").
inline constexpr const char* SpreadsheetBusyWait =
    "Excel занят (в нем редактируется ячейка или открыто окно) и не дает закрыть отчет. Закончите "
    "работу в Excel и подождите, или оставьте отчет открытым и закройте его позже.";
inline constexpr const char* WaitButton = "Ждать";
inline constexpr const char* LeaveOpenButton = "Оставить отчет открытым";
// A close that could not run because Excel stayed busy, when the operator was not asked.
inline constexpr const char* SpreadsheetBusyClose =
    "Excel занят: отчет не закрыт и остался открытым, несохраненные строки остались в журнале. "
    "Закончите редактирование в Excel и закройте отчет снова.";
inline constexpr const char* ReportReadOnly =
    "Файл отчета открыт только для чтения: сохранить отчет можно только под другим именем.";
// A legacy .xls or an .ods where only the built-in engine serves the report (Windows without
// Excel).
inline constexpr const char* FormatNotOpenable =
    "Этот файл можно открыть только в Excel: без Excel программа открывает отчеты .xlsx и .xlsm.";
// After a save that the refused rows are not in: exactly which rows the file lacks. Each row is
// (live sheet?, row number).
inline std::string savedWithoutRows(const std::string& liveSheet, const std::string& memorySheet,
                                    std::vector<std::pair<bool, long>> rows) {
    std::sort(rows.begin(), rows.end(), [](const auto& a, const auto& b) {
        return a.first != b.first ? a.first : a.second < b.second;
    });
    std::string list;
    for (size_t i = 0; i < rows.size();) {
        const bool live = rows[i].first;
        std::string ranges;
        int count = 0;
        while (i < rows.size() && rows[i].first == live) {
            size_t j = i;
            while (j + 1 < rows.size() && rows[j + 1].first == live && rows[j + 1].second == rows[j].second + 1) ++j;
            if (!ranges.empty()) ranges += ", ";
            ranges += std::to_string(rows[i].second);
            if (j > i) ranges += "–" + std::to_string(rows[j].second);
            count += static_cast<int>(j - i + 1);
            i = j + 1;
        }
        if (!list.empty()) list += "; ";
        list += "лист «" + (live ? liveSheet : memorySheet) + "», " + (count == 1 ? "строка " : "строки ") + ranges;
    }
    return "Отчет сохранен без записей, которые Excel не принял: " + list +
           ". Они остались в журнале и будут предложены при следующем запуске программы.";
}
// A report kept in the legacy .xls format (65,536 rows a sheet).
inline constexpr const char* XlsNearlyFull =
    "Отчет сохраняется в формате .xls, в котором на листе помещается 65536 строк, а записано уже больше "
    "60000. Сохранить отчет в формате .xlsx (1048576 строк на листе)?";
inline constexpr const char* XlsTooManyRows =
    "В формате .xls на листе помещается 65536 строк, а в отчете их больше: отчет нужно сохранить в формате .xlsx.";
inline constexpr const char* ReopenFailed =
    "Отчет сохранен в формате .xlsx, но открыть его снова не удалось: отчет закрыт.";
inline constexpr const char* ReopenFailedRowsKept =
    "Отчет сохранен в формате .xlsx, но открыть его снова не удалось: отчет закрыт, несохраненные строки "
    "остались в журнале и будут предложены при следующем запуске программы.";
inline constexpr const char* ReportFull =
    "Отчет заполнен: на листе нет свободной строки. Создайте новый отчет.";
inline std::string fileTooLarge(long long megabytes) {
    return "Файл слишком большой (" + std::to_string(megabytes) + " МБ): открыть его невозможно.";
}
// A small file whose workbook holds more than the built-in engine takes (cells, or the bytes
// its parts unpack to).
inline constexpr const char* WorkbookTooLarge =
    "Файл слишком велик: в книге больше данных, чем программа может открыть. Откройте его в Excel или LibreOffice.";
// The built-in engine cannot open these.
inline constexpr const char* PasswordProtected =
    "Файл защищен паролем: откройте его в Excel или LibreOffice и сохраните без пароля.";
inline constexpr const char* FolderNotFile = "Выбрана папка, а не файл отчета.";
inline constexpr const char* DeviceNotFile =
    "Выбранное имя - не файл, а устройство или канал: открыть его как отчет невозможно.";
// The journal of unsaved rows (caption "Предупреждение").
inline constexpr const char* JournalCannotWrite =
    "Невозможно записать журнал отчета: строки не защищены от сбоя. Они будут записаны в журнал, "
    "когда на диске появится место.";
inline constexpr const char* JournalWritingAgain =
    "Журнал отчета снова записывается: строки защищены от сбоя.";
inline std::string journalOff(const std::string& folder) {
    return "Журнал отчета не ведется (папка \"" + folder + "\" недоступна): строки не защищены от сбоя.";
}
// At start, for the rows of a report that a run left unsaved (caption "Предупреждение", Yes/No).
inline std::string recoverQuestion(const std::string& reportName, std::size_t rows, std::size_t damaged = 0) {
    std::string text = "Найден журнал несохраненного отчета \"" + reportName + "\" (записей: " +
                       std::to_string(rows) + ").";
    if (damaged > 0) text += " Поврежденных записей пропущено: " + std::to_string(damaged) + ".";
    return text + " Восстановить?";
}

// The settings file could not be written at close.
inline std::string cannotSaveSettings(const std::string& path) {
    return "Невозможно сохранить настройки в файл \"" + path + "\"";
}

// The end of a memory download that did not get everything (caption "Предупреждение").
inline std::string downloadIncomplete(int periodsRead, int periods, int missing, int values) {
    std::string text = "Память прибора считана не полностью: считано " + std::to_string(periodsRead) + " из " +
                       std::to_string(periods);
    if (missing > 0) text += ", нет значений: " + std::to_string(missing) + " из " + std::to_string(values);
    return text + ".";
}
inline constexpr const char* DownloadNoAnswer =
    "Память прибора не считана: прибор не ответил на запрос числа периодов.";

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
inline constexpr const char* NotJudged = "Подключение по показаниям этой секунды не проверялось";
inline constexpr const char* CannotTellHeading = "По показаниям не различить:";
// The check's protocol: the button, the form before saving, the save dialog, the page.
inline constexpr const char* ProtocolButton = "Протокол…";
inline constexpr const char* ProtocolFormCaption = "Протокол проверки";
inline constexpr const char* ProtocolObject = "Объект:";
inline constexpr const char* ProtocolConnection = "Присоединение:";
inline constexpr const char* ProtocolOperator = "Проверку выполнил:";
inline constexpr const char* ProtocolFilter = "Документ PDF|*.pdf";
inline constexpr const char* ProtocolFilePrefix = "Протокол";
inline constexpr const char* ProtocolTitle = "Протокол проверки схемы подключения счётчика";
inline constexpr const char* ProtocolSubtitle = "по показаниям прибора ЛУМО 2210";
inline constexpr const char* ProtocolNotGiven = "не указано";
inline constexpr const char* ProtocolReadingsAt = "Показания:";
inline constexpr const char* ProtocolMadeAt = "Протокол составлен:";
inline constexpr const char* ProtocolSite = "Вид объекта:";
inline constexpr const char* ProtocolNoReadings = "Показаний нет: опрос прибора не запускался или прибор ни разу не ответил.";
inline std::string protocolStopped(const std::string& time) {
    return "Опрос остановлен: показания ниже — последние полученные (до " + time + "), не текущие.";
}
inline std::string protocolSilent(const std::string& time) {
    return "Прибор не отвечает: новых показаний нет с " + time + "; устаревшие показания не приводятся.";
}
inline std::string protocolMean(int seconds, const std::string& from, const std::string& to) {
    return "среднее за " + std::to_string(seconds) + " с, " + from + " – " + to;
}
inline constexpr const char* ProtocolTableCaption = "Результаты измерений";
inline constexpr const char* ProtocolSumColumn = "Сумма фаз";
inline std::string protocolTableNote(int seconds) {
    return "Среднее за последние " + std::to_string(seconds) +
           " с и размах ± (половина разницы наибольшего и наименьшего). * — показание менялось больше "
           "чем на 5 % (угол — больше чем на 5°). «нет» — показания не было; (n из m) — было не во всех "
           "опросах.";
}
inline std::string protocolOutOf(int count, int ticks) {
    return "(" + std::to_string(count) + " из " + std::to_string(ticks) + ")";
}
inline std::string protocolDiagram(const std::string& time) { return "Векторная диаграмма по показаниям " + time; }
inline constexpr const char* ProtocolCheck = "Результат проверки подключения";
inline std::string protocolLinesLeft(std::size_t lines) {
    return "… и ещё строк проверки, не поместившихся на страницу: " + std::to_string(lines) + " (их показывает окно)";
}
inline constexpr const char* ProtocolSignature = "Подпись: ______________________";
inline constexpr const char* ProtocolDate = "Дата: ______________";
inline constexpr const char* ProtocolProgram = "UserLumo";
// The site's choice in the diagram window, in the order of wiring::Site.
inline constexpr const char* SiteLabel = "Объект:";
inline constexpr const char* SiteChoices[] = {"Потребление", "Генерация", "Потребление или генерация"};
inline std::string phaseLine(char phase, const std::string& what) {
    return std::string("Фаза ") + phase + ": " + what;
}
inline std::string missingReadings(char phase, const std::string& which) {
    return phaseLine(phase, "нет показаний " + which + ", фаза проверена не полностью");
}
// A reading that cannot be real, and why: "больше 460 В", "по S и I около 230 В".
inline std::string implausibleReading(char phase, const std::string& reading, const std::string& why) {
    return phaseLine(phase, "невозможное показание " + reading + " (" + why + "), вероятно, искажено при передаче");
}
inline std::string beyond(const std::string& limit) { return "больше " + limit; }
inline std::string otherReadingsSay(const std::string& from, const std::string& value) {
    return "по " + from + " около " + value;
}
inline std::string noVoltage(char phase, const std::string& u, const std::string& others) {
    return phaseLine(phase, "нет напряжения (U = " + u + " при " + others + " на других фазах)");
}
inline std::string lowLoad(const std::string& largest, const std::string& needed) {
    return "Ток слишком мал для проверки токовых цепей (наибольший " + largest +
           ", нужно не меньше " + needed + ")";
}
inline std::string noCurrent(char phase, const std::string& i, const std::string& others) {
    return phaseLine(phase, "нет тока (I = " + i + " при " + others +
                                " на других фазах): фаза не нагружена, или цепь тока разомкнута или "
                                "закорочена — по показаниям не различить");
}
inline std::string smallCurrent(char phase, const std::string& i, const std::string& needed) {
    return phaseLine(phase, "ток " + i + " слишком мал для проверки угла (нужно не меньше " + needed + ")");
}
inline std::string unbalance(bool voltages, char phase, const std::string& value, const std::string& mean) {
    return std::string("Сильная несимметрия ") + (voltages ? "напряжений" : "токов") + ": фаза " +
           phase + " " + value + " при среднем " + mean;
}
inline std::string misfit(char phase, const std::string& reading, const std::string& computed) {
    return phaseLine(phase, "показания не согласуются: " + reading + ", а " + computed);
}
// Every phase's power flows the other way than the site's setting says.
inline std::string otherDirection(bool exported) {
    return exported ? "На всех фазах P < 0: если объект отдаёт мощность в сеть, выберите «Генерация» или "
                      "«Потребление или генерация»"
                    : "На всех фазах P > 0: если объект потребляет мощность, выберите «Потребление» или "
                      "«Потребление или генерация»";
}

// The mistakes of a connection, phrased to follow a comma or to begin a line (capitalised by
// the caller). Phases arrive as letters.
inline std::string reversed(const std::string& phases, bool several) {
    return std::string(several ? "фазы " : "фаза ") + phases + ": ток или напряжение в обратном направлении";
}
inline std::string currentsSwapped(char first, char second) {
    return std::string("токи фаз ") + first + " и " + second + " перепутаны местами";
}
// `onA`, `onB`, `onC`: the phase whose current (voltage) each input carries.
inline std::string currentsRotated(char onA, char onB, char onC) {
    return std::string("токи сдвинуты на одну фазу (на входе A ток фазы ") + onA + ", на B — фазы " + onB +
           ", на C — фазы " + onC + ")";
}
inline std::string voltageFromPhase(char input, char source) {
    return std::string("на входе напряжения фазы ") + input + " напряжение фазы " + source;
}
inline std::string voltagesSwapped(char first, char second) {
    return std::string("напряжения фаз ") + first + " и " + second + " перепутаны местами";
}
inline std::string voltagesRotated(char onA, char onB, char onC) {
    return std::string("напряжения сдвинуты на одну фазу (на входе A напряжение фазы ") + onA + ", на B — фазы " +
           onB + ", на C — фазы " + onC + ")";
}
// The load angles a connection implies: one angle, or each phase's.
inline std::string loadAbout(const std::string& angle) { return "нагрузке около " + angle; }
inline std::string loadsOf(const std::string& list) { return "нагрузках " + list; }
// The line of a wiring fault: the best explanation with the measured angles and its load, then
// each that fits as well ("или ... при нагрузке около 190°"; at the same load without it).
inline std::string wiringLine(const std::string& best, const std::string& angles, const std::string& load) {
    return best + " (углы " + angles + "; при " + load + ")";
}
inline std::string orAlso(const std::string& alternative, const std::string& load) {
    return ", или " + alternative + (load.empty() ? "" : " при " + load);
}
// What the readings cannot tell apart.
inline std::string sameReadings(const std::string& explanation, const std::string& load) {
    return "те же показания дало бы подключение, где " + explanation + ", при " + load;
}
inline std::string idleOrOpen(char phase) {
    return phaseLine(phase, "фаза без нагрузки, или цепь тока разомкнута или закорочена");
}
inline std::string directionUnclear(char phase, const std::string& angle) {
    return phaseLine(phase, "при угле " + angle + " (почти чисто реактивная нагрузка) направление тока "
                            "не определить");
}
inline constexpr const char* BothDirections =
    "токи всех фаз в обратном направлении — то же, что мощность объекта, текущая в другую сторону; "
    "фаза, одна отдающая мощность (однофазный генератор), — то же, что ток этой фазы в обратном "
    "направлении";
inline constexpr const char* SequenceNotMeasured =
    "порядок фаз: напряжения и токи, сдвинутые на одну фазу одинаково, дают те же показания";

}  // namespace lumo::msg
