// The engine's viewer window on Qt's offscreen platform: what it shows and how it follows
// the rows being written.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCloseEvent>
#include <QStyle>

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

// What the view paints in a cell: numbers as a spreadsheet shows them in a narrow column.
QString painted(QTableView* view, int row, int col) {
    QStyleOptionViewItem option;
    option.initFrom(view);
    option.widget = view;
    option.rect = view->visualRect(view->model()->index(row - 1, col - 1));
    return static_cast<CellDelegate*>(view->itemDelegate())->shownText(option, view->model()->index(row - 1, col - 1));
}

TEST_F(Viewer, NumbersAreRoundedToTheirColumnAndNeverCutShort) {
    // C to T are 5 characters wide.
    report.appendLiveRow({"230,56789", "123456789", "-0,000123456", "нет, слишком длинный текст"});
    propertyPut(app, "Visible", true);
    QApplication::processEvents();
    QTableView* view = window()->view(0);
    EXPECT_EQ(view->textElideMode(), Qt::ElideNone);
    const int margin = view->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, view) + 1;
    auto fits = [&](const QString& text, int col) {
        return view->fontMetrics().horizontalAdvance(text) <= view->columnWidth(col - 1) - 2 * margin;
    };
    // Rounded to fewer decimals, or to fewer digits of the scientific form, and fitting.
    const QString rounded = painted(view, 3, 3), large = painted(view, 3, 4), small = painted(view, 3, 5);
    EXPECT_TRUE(fits(rounded, 3)) << rounded.toStdString();
    EXPECT_TRUE(rounded.startsWith("230,") || rounded == "231") << rounded.toStdString();
    EXPECT_TRUE(fits(large, 4) && large.contains("E8") && large.startsWith("1")) << large.toStdString();
    EXPECT_TRUE(fits(small, 5) && small.startsWith("-1") && small.contains("E-4")) << small.toStdString();
    // The model keeps the whole value; texts come whole (the view clips them); a date that
    // does not fit shows "###"; in a wide column a number shows in full.
    EXPECT_EQ(shown(0, 3, 3), "230,56789");
    EXPECT_EQ(painted(view, 3, 6), "нет, слишком длинный текст");
    EXPECT_EQ(painted(view, 3, 1), "06.12.2026");
    view->setColumnWidth(0, view->fontMetrics().horizontalAdvance("06.12"));
    EXPECT_EQ(painted(view, 3, 1), "###");
    view->setColumnWidth(2, 400);
    EXPECT_EQ(painted(view, 3, 3), "230,56789");
}

TEST_F(Viewer, ALongSheetGrowsAheadAndIsNeverLaidOutAgainForARowOrAFormat) {
    report.f.report.WriteReportCell(report.live(), 10000, 3, "1");
    propertyPut(app, "Visible", true);
    QApplication::processEvents();
    WorkbookWindow* w = window();
    SheetModel* model = w->model(0);
    w->tabs()->setCurrentIndex(1);  // the operator looks at the other sheet
    int resets = 0, insertions = 0;
    QObject::connect(model, &QAbstractItemModel::modelReset, [&] { ++resets; });
    QObject::connect(model, &QAbstractItemModel::rowsInserted, [&] { ++insertions; });

    report.f.state.LiveRow = 10001;
    for (int i = 0; i < 100; ++i) {
        report.appendLiveRow({"230,5"});  // a stamp with number formats, then the readings
        QApplication::processEvents();
    }
    EXPECT_EQ(resets, 0);
    EXPECT_EQ(insertions, 1);  // grown once, ahead of the rows to come
    EXPECT_GE(model->rowCount(), 10100);
    EXPECT_EQ(shown(0, 10100, 3), "230,5");
    EXPECT_EQ(w->tabs()->currentIndex(), 1);
    // The live sheet's view has followed its rows.
    QTableView* view = w->view(0);
    EXPECT_TRUE(view->viewport()->rect().contains(view->visualRect(model->index(10099, 2))));
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
