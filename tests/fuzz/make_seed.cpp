// Writes a report-shaped workbook through the engine, as a seed for the loader fuzzer.
#include <string>

#include "automation/automation.h"
#include "spreadsheet/engine.h"

int main(int argc, char** argv) {
    using namespace lumo::automation;
    if (argc != 2) return 2;
    Handle app = lumo::spreadsheet::createApplication();
    propertyPut(app, "SheetsInNewWorkbook", 2);
    methodCall(propertyGet(app, "WorkBooks"), "add");
    Handle book = propertyGet(app, "WorkBooks", {1});
    Handle live = propertyGet(book, "WorkSheets", {1});
    propertyPut(live, "Name", "Результат текущих измерений");
    methodCall(live, "Activate");
    Handle title = propertyGet(live, "Range", {"C1:H1"});
    methodCall(title, "Merge");
    propertyPut(title, "Value", "ФАЗА А");
    propertyPut(title, "HorizontalAlignment", 3);
    propertyPut(propertyGet(propertyGet(live, "Columns"), "Item", {1}), "ColumnWidth", 10);
    propertyPut(propertyGet(live, "Range", {"C:T"}), "HorizontalAlignment", 3);
    for (int r = 3; r < 6; ++r) {
        Handle cell = propertyGet(live, "Cells", {r, 1});
        propertyPut(cell, "NumberFormat", "ДД.ММ.ГГГГ");
        propertyPut(cell, "Value", "6.12.2026");
        cell = propertyGet(live, "Cells", {r, 2});
        propertyPut(cell, "NumberFormat", "ЧЧ:ММ:СС");
        propertyPut(cell, "Value", "7:5:" + std::to_string(r));
        propertyPut(propertyGet(live, "Cells", {r, 3}), "Value", "230,5");
        propertyPut(propertyGet(live, "Cells", {r, 4}), "Value", "нет");
    }
    methodCall(book, "SaveAs", {std::string(argv[1])});
    return 0;
}
