#include "spreadsheet/viewer_qt.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFileInfo>
#include <QFontMetrics>
#include <QHeaderView>
#include <QStyle>
#include <QTimer>
#include <QVBoxLayout>

#include "spreadsheet/cell_text.h"

namespace lumo::spreadsheet {

namespace {

constexpr int kMarginRows = 20, kMarginColumns = 3;

Qt::Alignment alignmentOf(HAlign a, CellKind kind) {
    switch (a) {
        case HAlign::Left: return Qt::AlignLeft | Qt::AlignVCenter;
        case HAlign::Center:
        case HAlign::CenterAcrossSelection: return Qt::AlignHCenter | Qt::AlignVCenter;
        case HAlign::Right: return Qt::AlignRight | Qt::AlignVCenter;
        case HAlign::Justify:
        case HAlign::Distributed: return Qt::AlignJustify | Qt::AlignVCenter;
        case HAlign::Fill:
        case HAlign::General: break;
    }
    // General: numbers to the right, everything else to the left.
    return (kind == CellKind::Number ? Qt::AlignRight : Qt::AlignLeft) | Qt::AlignVCenter;
}

class QtViewer final : public Viewer {
public:
    explicit QtViewer(Application& app) : window_(std::make_unique<WorkbookWindow>(app)) {}
    WorkbookWindow* window() const { return window_.get(); }

    void setVisible(bool visible) override {
        if (visible) {
            window_->scheduleLayout();
            window_->show();
            window_->raise();
        } else {
            window_->hide();
        }
    }
    void layoutChanged() override { window_->scheduleLayout(); }
    void rowsChanged(const Sheet& sheet, std::int32_t first, std::int32_t last) override {
        window_->scheduleRows(sheet, first, last);
    }

private:
    std::unique_ptr<WorkbookWindow> window_;
};

}  // namespace

void attachQtViewer() {
    setViewerFactory([](Application& app) { return std::make_unique<QtViewer>(app); });
}

WorkbookWindow* windowOf(Viewer* viewer) {
    auto* qt = dynamic_cast<QtViewer*>(viewer);
    return qt ? qt->window() : nullptr;
}

SheetModel::SheetModel(const Sheet& sheet, QObject* parent) : QAbstractTableModel(parent), sheet_(sheet) {
    rows_ = usedRows();
    columns_ = usedColumns();
    lastRow_ = sheet_.lastRow();
}

int SheetModel::usedRows() const {
    std::int32_t last = sheet_.lastRow();
    for (const Rect& m : sheet_.merges()) last = std::max(last, m.bottom);
    return std::min<int>(last + kMarginRows, kMaxRows);
}

int SheetModel::usedColumns() const {
    std::int32_t last = std::max(sheet_.lastColumn(), sheet_.columnsDefined());
    for (const Rect& m : sheet_.merges()) last = std::max(last, m.right);
    return std::min<int>(last + kMarginColumns, kMaxColumns);
}

int SheetModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : rows_; }
int SheetModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : columns_; }

QVariant SheetModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || (role != Qt::DisplayRole && role != Qt::TextAlignmentRole)) return {};
    std::int32_t r = index.row() + 1, c = index.column() + 1;
    const Cell* cell = sheet_.find(r, c);
    const Workbook& book = sheet_.book();
    const CellFormat& format = book.format(sheet_.effectiveFormat(r, c));
    if (role == Qt::TextAlignmentRole)
        return QVariant::fromValue(alignmentOf(format.align, cell ? cell->kind : CellKind::Empty));
    if (!cell || cell->kind == CellKind::Empty) return {};
    return QString::fromStdString(displayText(book, *cell, format));
}

QVariant SheetModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (role != Qt::DisplayRole) return {};
    if (orientation == Qt::Horizontal) return QString::fromStdString(columnLetters(section + 1));
    return section + 1;
}

void SheetModel::grow() {
    int rows = usedRows(), columns = usedColumns();
    if (rows > rows_) {
        // Grown ahead by a part of the sheet: every insertion makes the view lay out and paint
        // all it shows again, so a sheet that gets a row a second grows only now and then.
        int grown = static_cast<int>(std::min<std::int64_t>(kMaxRows, std::int64_t(rows) + rows / 64));
        beginInsertRows({}, rows_, grown - 1);
        rows_ = grown;
        endInsertRows();
    }
    if (columns > columns_) {
        beginInsertColumns({}, columns_, columns - 1);
        columns_ = columns;
        endInsertColumns();
    }
}

bool SheetModel::rowsWritten(std::int32_t first, std::int32_t last) {
    grow();
    int top = std::max(0, first - 1), bottom = std::min(rows_ - 1, last - 1);
    if (top <= bottom) emit dataChanged(index(top, 0), index(bottom, columns_ - 1));
    bool appended = last >= lastRow_;
    lastRow_ = std::max(lastRow_, sheet_.lastRow());
    return appended;
}

QString CellDelegate::shownText(const QStyleOptionViewItem& option, const QModelIndex& index) const {
    const auto* model = dynamic_cast<const SheetModel*>(index.model());
    if (!model) return index.data().toString();
    const Sheet& sheet = model->sheet();
    const std::int32_t r = index.row() + 1, c = index.column() + 1;
    const Cell* cell = sheet.find(r, c);
    if (!cell || cell->kind == CellKind::Empty) return {};
    const Workbook& book = sheet.book();
    // The room the style leaves for the text inside the cell.
    const QStyle* style = option.widget ? option.widget->style() : QApplication::style();
    const int margin = style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, option.widget) + 1;
    const int room = option.rect.width() - 2 * margin;
    const QFontMetrics metrics(option.font);
    auto fits = [&](std::string_view text) {
        return metrics.horizontalAdvance(QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()))) <= room;
    };
    return QString::fromStdString(displayTextToFit(book, *cell, book.format(sheet.effectiveFormat(r, c)), fits));
}

void CellDelegate::initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const {
    QStyledItemDelegate::initStyleOption(option, index);
    option->textElideMode = Qt::ElideNone;
    if (option->features & QStyleOptionViewItem::HasDisplay) option->text = shownText(*option, index);
}

WorkbookWindow::WorkbookWindow(Application& app) : app_(app), tabs_(new QTabWidget(this)) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(tabs_);
    tabs_->setTabPosition(QTabWidget::South);
    resize(900, 600);
    rebuild();
}

QTableView* WorkbookWindow::view(int sheet) const { return qobject_cast<QTableView*>(tabs_->widget(sheet)); }

SheetModel* WorkbookWindow::model(int sheet) const {
    return sheet >= 0 && sheet < static_cast<int>(models_.size()) ? models_[static_cast<size_t>(sheet)] : nullptr;
}

void WorkbookWindow::closeEvent(QCloseEvent* event) {
    // The window belongs to the application object: the title bar only hides it.
    event->ignore();
    hide();
}

void WorkbookWindow::scheduleLayout() {
    layoutDirty_ = true;
    if (!flushPending_) {
        flushPending_ = true;
        QTimer::singleShot(0, this, [this] { flush(); });
    }
}

void WorkbookWindow::scheduleRows(const Sheet& sheet, std::int32_t first, std::int32_t last) {
    // Writes come cell by cell: rows of one sheet are gathered and shown together.
    if (!pendingRows_.empty() && pendingRows_.back().sheet == &sheet) {
        pendingRows_.back().first = std::min(pendingRows_.back().first, first);
        pendingRows_.back().last = std::max(pendingRows_.back().last, last);
    } else {
        pendingRows_.push_back({&sheet, first, last});
    }
    if (!flushPending_) {
        flushPending_ = true;
        QTimer::singleShot(0, this, [this] { flush(); });
    }
}

void WorkbookWindow::flush() {
    flushPending_ = false;
    if (layoutDirty_) {
        layoutDirty_ = false;
        rebuild();
    }
    for (const Pending& p : pendingRows_) {
        for (size_t i = 0; i < models_.size(); ++i) {
            if (&models_[i]->sheet() != p.sheet) continue;
            // Follow the rows being appended.
            if (models_[i]->rowsWritten(p.first, p.last))
                view(static_cast<int>(i))->scrollTo(models_[i]->index(p.last - 1, 0));
        }
    }
    pendingRows_.clear();
}

void WorkbookWindow::rebuild() {
    const auto& books = app_.workbooks();
    std::shared_ptr<Workbook> book = books.empty() ? nullptr : books.front();
    bool sameSheets = book == shown_ && book && static_cast<size_t>(tabs_->count()) == book->sheetCount();
    if (!sameSheets) {
        while (tabs_->count()) {
            QWidget* w = tabs_->widget(0);
            tabs_->removeTab(0);
            delete w;
        }
        models_.clear();
        spans_.clear();
        shownActive_ = SIZE_MAX;
        shown_ = book;
        if (book) {
            for (size_t i = 0; i < book->sheetCount(); ++i) {
                auto* view = new QTableView;
                auto* model = new SheetModel(book->sheet(i), view);
                view->setModel(model);
                view->setEditTriggers(QAbstractItemView::NoEditTriggers);
                view->setSelectionMode(QAbstractItemView::NoSelection);
                view->setItemDelegate(new CellDelegate(view));
                view->setTextElideMode(Qt::ElideNone);
                view->setWordWrap(false);
                view->verticalHeader()->setDefaultSectionSize(view->fontMetrics().height() + 4);
                models_.push_back(model);
                spans_.emplace_back();
                tabs_->addTab(view, QString());
            }
        }
    }
    if (book) {
        // Formats and values reach the cells through their rows; here only what the layout
        // shows is brought up to date, and only where it changed: a big sheet is never laid
        // out and painted again because a cell got a number format.
        for (size_t i = 0; i < book->sheetCount(); ++i) {
            QString name = QString::fromStdString(book->sheet(i).name());
            if (tabs_->tabText(static_cast<int>(i)) != name) tabs_->setTabText(static_cast<int>(i), name);
            models_[i]->grow();
            applyLayout(static_cast<int>(i));
        }
        // The active sheet comes to the front when it changes, not at every change of layout.
        if (book->activeSheet < book->sheetCount() && book->activeSheet != shownActive_) {
            shownActive_ = book->activeSheet;
            tabs_->setCurrentIndex(static_cast<int>(book->activeSheet));
        }
        QString title = book->path.empty() ? QStringLiteral("Без имени") : QFileInfo(QString::fromStdString(book->path)).fileName();
        setWindowTitle(title);
    } else {
        setWindowTitle(QStringLiteral("Нет открытой книги"));
    }
}

void WorkbookWindow::applyLayout(int index) {
    QTableView* v = view(index);
    const Sheet& sheet = models_[static_cast<size_t>(index)]->sheet();
    // Widths in characters of the standard font: 7-pixel digits plus 5 pixels, scaled to ours.
    const double digit = v->fontMetrics().horizontalAdvance(QLatin1Char('0'));
    for (int c = 0; c < models_[static_cast<size_t>(index)]->columnCount(); ++c) {
        double chars = sheet.column(c + 1).width;
        if (chars < 0) chars = 8.43;
        int width = static_cast<int>(chars * digit + 5 * digit / 7 + 0.5);
        if (v->columnWidth(c) != width) v->setColumnWidth(c, width);
    }
    std::vector<Rect>& spans = spans_[static_cast<size_t>(index)];
    if (spans != sheet.merges()) {
        v->clearSpans();
        for (const Rect& m : sheet.merges())
            v->setSpan(m.top - 1, m.left - 1, m.bottom - m.top + 1, m.right - m.left + 1);
        spans = sheet.merges();
    }
}

}  // namespace lumo::spreadsheet
