#pragma once
// The read-only window that shows the built-in engine's workbook while the application is
// "Visible": a tab per sheet, merged cells spanned, column widths and alignment as set,
// numbers with a decimal comma, dates dd.mm.yyyy; it follows the rows as they are written.
// Closing it by its title bar only hides it.

#include <QAbstractTableModel>
#include <QStyledItemDelegate>
#include <QTabWidget>
#include <QTableView>
#include <QWidget>

#include <cstdint>
#include <memory>
#include <vector>

#include "spreadsheet/engine.h"

namespace lumo::spreadsheet {

// Makes the engine show this window when an application is made visible. The app calls it at
// start-up; without it the engine runs with no window at all.
void attachQtViewer();

class SheetModel final : public QAbstractTableModel {
public:
    explicit SheetModel(const Sheet& sheet, QObject* parent = nullptr);
    const Sheet& sheet() const { return sheet_; }

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    // Rows first..last were written: grows the model when they lie beyond it. True when they
    // reach the last row written before or beyond (an append, which the view follows).
    bool rowsWritten(std::int32_t first, std::int32_t last);
    // Grows the model to the sheet's rows and columns (a margin of empty ones included).
    void grow();

private:
    int usedRows() const;
    int usedColumns() const;

    const Sheet& sheet_;
    int rows_ = 0, columns_ = 0;
    std::int32_t lastRow_ = 0;  // the sheet's last row when the model last looked
};

// Paints cells as a spreadsheet does in narrow columns: numbers in the general format rounded
// to fit the cell, "###" for a number that does not fit, texts clipped (never cut with "...").
class CellDelegate final : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    // The text shown for the cell in the option's rectangle and font.
    QString shownText(const QStyleOptionViewItem& option, const QModelIndex& index) const;

protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override;
};

class WorkbookWindow final : public QWidget {
public:
    explicit WorkbookWindow(Application& app);

    QTabWidget* tabs() const { return tabs_; }
    QTableView* view(int sheet) const;
    SheetModel* model(int sheet) const;

    void scheduleLayout();
    void scheduleRows(const Sheet& sheet, std::int32_t first, std::int32_t last);

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void flush();
    void rebuild();
    void applyLayout(int index);

    Application& app_;
    std::shared_ptr<Workbook> shown_;  // kept alive while shown, also after "Close"
    QTabWidget* tabs_;
    std::vector<SheetModel*> models_;
    std::vector<std::vector<Rect>> spans_;  // the merges each view spans
    std::size_t shownActive_ = SIZE_MAX;    // the active sheet last brought to the front
    bool layoutDirty_ = true, flushPending_ = false;
    struct Pending {
        const Sheet* sheet;
        std::int32_t first, last;
    };
    std::vector<Pending> pendingRows_;
};

// The window behind a viewer made by attachQtViewer, or null.
WorkbookWindow* windowOf(Viewer* viewer);

}  // namespace lumo::spreadsheet
