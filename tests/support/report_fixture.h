#pragma once
// The report's operations on their own: a report state, scripted dialogs, a pinned clock,
// a readings store and a view that keeps the controls' texts.

#include <string>

#include "common/clock.h"
#include "link/readings_store.h"
#include "report/report.h"
#include "support/scripted_dialogs.h"

namespace lumo::test {

struct RecordedView : ReportView {
    std::string name = "нет", date = "нет", showCaption = "Просмотреть отчет";
    bool showEnabled = false, memoryEnabled = false;
    void setReportName(const std::string& t) override { name = t; }
    void setReportDate(const std::string& t) override { date = t; }
    void setShowButton(bool e, const std::string& c) override { showEnabled = e, showCaption = c; }
    void setMemoryButtonEnabled(bool e) override { memoryEnabled = e; }
    std::string shortDate(const LocalDateTime& d) override {
        return "short " + std::to_string(d.day) + "/" + std::to_string(d.month) + "/" + std::to_string(d.year);
    }
};

struct ReportFixture {
    ReportState state;
    ScriptedDialogs dialogs;
    PinnedClock clock{{2026, 12, 6, 7, 5, 9}};
    RecordedView view;
    ReadingsStore store;
    Report report{state, dialogs, clock, view};

    // Rows from the store, as the window writes them.
    void appendLiveRow() { report.AppendLiveRow(store.currentTexts()); }
    void appendMemoryRow(int period) { report.AppendMemoryRow(period, store.statisticsTexts(period)); }
};

}  // namespace lumo::test
