// The engine's viewer window on Qt's offscreen platform: what it shows and how it follows
// the rows being written.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCloseEvent>

#include "spreadsheet/viewer_qt.h"
#include "spreadsheet_test_support.h"

using namespace lumo;
using namespace lumo::automation;
using namespace lumo::spreadsheet;
using namespace lumo::test;

namespace {

class Viewer : public ::testing::Test {
protected:
    void SetUp() override { attachQtViewer(); }
    void TearDown() override { setViewerFactory(nullptr); }

    EngineReport report;
    const Handle app = report.app();
    WorkbookWindow* window() { return windowOf(applicationOf(app)->viewer()); }
    QString shown(int sheet, int row, int col) {
        return window()->model(sheet)->index(row - 1, col - 1).data().toString();
    }
    Qt::Alignment alignment(int sheet, int row, int col) {
        return window()->model(sheet)->index(row - 1, col - 1).data(Qt::TextAlignmentRole).value<Qt::Alignment>();
    }
};

TEST_F(Viewer, ShowsTheReportAsWrittenAndFollowsNewRows) {
    report.appendLiveRow({"230,5", "нет"});
    propertyPut(app, "Visible", true);
    QApplication::processEvents();
    WorkbookWindow* w = window();
    ASSERT_NE(w, nullptr);
    EXPECT_TRUE(w->isVisible());
    ASSERT_EQ(w->tabs()->count(), 2);
    EXPECT_EQ(w->tabs()->tabText(0), QString("Результат текущих измерений"));
    EXPECT_EQ(w->tabs()->tabText(1), QString("Данные из памяти прибора"));
    EXPECT_EQ(w->tabs()->currentIndex(), 0);
    EXPECT_EQ(w->windowTitle(), QString("Без имени"));

    EXPECT_EQ(shown(0, 1, 3), "ФАЗА А");
    EXPECT_EQ(w->view(0)->columnSpan(0, 2), 6);
    EXPECT_EQ(w->view(1)->columnSpan(0, 1), 18);
    EXPECT_EQ(w->view(1)->columnSpan(1, 1), 3);
    EXPECT_EQ(shown(0, 3, 1), "06.12.2026");
    EXPECT_EQ(shown(0, 3, 2), "07:05:09");
    EXPECT_EQ(shown(0, 3, 3), "230,5");
    EXPECT_EQ(shown(0, 3, 4), "нет");
    EXPECT_EQ(alignment(0, 3, 3) & Qt::AlignHorizontal_Mask, Qt::AlignHCenter);
    EXPECT_EQ(alignment(0, 3, 21) & Qt::AlignHorizontal_Mask, Qt::AlignLeft);  // column U: nothing set
    // Widths 10, 8 and 5 characters keep their order and proportion.
    int a = w->view(0)->columnWidth(0), b = w->view(0)->columnWidth(1), c = w->view(0)->columnWidth(2);
    EXPECT_GT(a, b);
    EXPECT_GT(b, c);
    EXPECT_NEAR(double(a) / c, 75.0 / 40.0, 0.1);

    // Rows written while shown appear, also far below, and the view follows them.
    report.appendLiveRow({"231"});
    report.f.report.WriteReportCell(report.live(), 200, 3, "-1,5E-6");
    QApplication::processEvents();
    EXPECT_EQ(shown(0, 4, 3), "231");
    EXPECT_EQ(shown(0, 200, 3), "-1,5E-6");
    EXPECT_GE(w->model(0)->rowCount(), 200);

    // The title bar only hides it; "Visible" shows it again.
    QCloseEvent close;
    QApplication::sendEvent(w, &close);
    EXPECT_FALSE(close.isAccepted());
    EXPECT_FALSE(w->isVisible());
    propertyPut(app, "Visible", true);
    EXPECT_TRUE(w->isVisible());
    propertyPut(app, "Visible", false);
    EXPECT_FALSE(w->isVisible());
}

TEST_F(Viewer, KeepsShowingAClosedWorkbookSafelyAndGoesWithTheApplication) {
    propertyPut(app, "Visible", true);
    QApplication::processEvents();
    methodCall(report.book(), "Close");
    QApplication::processEvents();
    EXPECT_EQ(window()->tabs()->count(), 0);
    EXPECT_EQ(window()->windowTitle(), QString("Нет открытой книги"));
    methodCall(app, "Quit");
    EXPECT_EQ(applicationOf(app)->viewer(), nullptr);
    QApplication::processEvents();
}

}  // namespace
