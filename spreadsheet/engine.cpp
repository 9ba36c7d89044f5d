// The built-in spreadsheet application: the Application model, its automation object, the
// viewer hook and the registration as "Excel.Application". The objects below it (workbooks,
// sheets, ranges) are in engine_objects.cpp.
#include "spreadsheet/engine.h"

#include <algorithm>

#include "spreadsheet/engine_objects.h"
#include "spreadsheet/workbook_files.h"

namespace lumo::spreadsheet {

using automation::Handle;

namespace {

using namespace detail;

ViewerFactory& viewerFactory() {
    static ViewerFactory f;
    return f;
}

// The application object: Workbooks, SheetsInNewWorkbook, DisplayAlerts, Visible, UserControl,
// Quit.
class ApplicationObject final : public TableObject<ApplicationObject> {
public:
    static constexpr std::string_view kName = "Application";
    static std::span<const Member<ApplicationObject>> members() {
        using A = ApplicationObject;
        static constexpr Member<A> table[] = {
            {.name = "sheetsinnewworkbook", .put = {&A::setSheetsInNewWorkbook}},
            {.name = "workbooks", .get = {&A::workbooks, 0, 1}},
            {.name = "displayalerts", .put = {&A::setDisplayAlerts}},
            {.name = "visible", .put = {&A::setVisible}},
            {.name = "usercontrol", .put = {&A::setUserControl}},
            {.name = "quit", .call = {&A::quit, 0, 0}},
        };
        return table;
    }

    ApplicationObject() : app_(std::make_shared<Application>()) {}
    void checkAlive() const { checkRunning(*app_); }
    Application& app() const { return *app_; }

private:
    // Workbooks is the collection; Workbooks(n) the n-th workbook.
    Handle workbooks(Args args) {
        if (args.empty()) return objectHandle<WorkbooksObject>(app_);
        return workbookHandle(app_, toInt(args[0]));
    }
    void setSheetsInNewWorkbook(const Handle& value) {
        std::int32_t n = toInt(value);
        if (n < 1 || n > 255) refused("SheetsInNewWorkbook takes 1 to 255");
        app_->setSheetsInNewWorkbook(n);
    }
    void setDisplayAlerts(const Handle& value) { app_->setDisplayAlerts(toBool(value)); }
    void setVisible(const Handle& value) { app_->setVisible(toBool(value)); }
    // Who ends the application: the engine ends with the program in any case.
    void setUserControl(const Handle& value) { (void)toBool(value); }
    void quit(Args) { app_->doQuit(); }

    std::shared_ptr<Application> app_;
};

}  // namespace

void setViewerFactory(ViewerFactory factory) { viewerFactory() = std::move(factory); }

Application::~Application() {
    for (auto& book : workbooks_) book->observer = nullptr;
}

std::shared_ptr<Workbook> Application::addWorkbook() {
    auto book = std::make_shared<Workbook>();
    for (std::int32_t i = 1; i <= sheetsInNewWorkbook_; ++i) book->addSheet("Лист" + std::to_string(i));
    book->observer = viewer_.get();
    workbooks_.push_back(book);
    notifyLayout();
    return book;
}

std::shared_ptr<Workbook> Application::openWorkbook(const std::string& path) {
    for (auto& open : workbooks_)
        if (open->path == path) return open;
    auto book = loadWorkbook(path);
    book->path = path;
    book->observer = viewer_.get();
    workbooks_.push_back(book);
    notifyLayout();
    return book;
}

void Application::closeWorkbook(const std::shared_ptr<Workbook>& book) {
    book->liveness = Workbook::Liveness::Closed;
    book->observer = nullptr;
    std::erase(workbooks_, book);
    notifyLayout();
}

void Application::setVisible(bool v) {
    visible_ = v;
    if (v && !viewer_ && viewerFactory()) {
        viewer_ = viewerFactory()(*this);
        for (auto& book : workbooks_) book->observer = viewer_.get();
    }
    if (viewer_) viewer_->setVisible(v);
}

void Application::viewerClosed() {
    if (!visible_) return;
    visible_ = false;
    if (visibilityListener_) visibilityListener_(false);
}

void Application::doQuit() {
    for (auto& book : workbooks_) {
        book->liveness = Workbook::Liveness::ApplicationGone;
        book->observer = nullptr;
    }
    workbooks_.clear();
    visible_ = false;
    viewer_.reset();
    visibilityListener_ = nullptr;
    quit_ = true;
}

Handle createApplication() { return objectHandle<ApplicationObject>(); }

void registerBuiltInEngine() { automation::registerFactory(automation::kSpreadsheetProgId, createApplication); }

Application* applicationOf(const Handle& h) {
    auto* o = dynamic_cast<ApplicationObject*>(h.objectPtr().get());
    return o ? &o->app() : nullptr;
}

Workbook* workbookOf(const Handle& h) {
    auto* o = dynamic_cast<WorkbookObject*>(h.objectPtr().get());
    return o ? o->book().get() : nullptr;
}

Sheet* sheetOf(const Handle& h) {
    if (auto* s = dynamic_cast<SheetObject*>(h.objectPtr().get())) return &s->sheet();
    if (auto* r = dynamic_cast<RangeObject*>(h.objectPtr().get())) return &r->sheet();
    return nullptr;
}

}  // namespace lumo::spreadsheet
