#pragma once
// The built-in spreadsheet application: answers the members of the spreadsheet automation
// calls on its workbook model, opens .xlsx/.xlsm/.ods (and legacy .xls, values only) and saves
// Office Open XML. Registered as "Excel.Application" where no other application is.

#include <functional>
#include <memory>
#include <vector>

#include "automation/automation.h"
#include "spreadsheet/workbook.h"

namespace lumo::spreadsheet {

class Application;

// The window that shows the workbook while "Visible" is true. The engine tells it what
// changed; it reads the model itself. Every call comes on the engine's (the window's) thread.
// layoutChanged() also comes when workbooks are added or closed.
class Viewer : public WorkbookObserver {
public:
    virtual void setVisible(bool visible) = 0;
};

// Makes the viewer when an application is first made visible; none by default, so the engine
// runs without a display. The app sets the Qt viewer at start-up.
using ViewerFactory = std::function<std::unique_ptr<Viewer>(Application&)>;
void setViewerFactory(ViewerFactory factory);

// The running application object: its workbooks and settings.
class Application {
public:
    Application() = default;
    ~Application();
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    const std::vector<std::shared_ptr<Workbook>>& workbooks() const { return workbooks_; }
    bool visible() const { return visible_; }
    bool displayAlerts() const { return displayAlerts_; }
    bool quit() const { return quit_; }
    std::int32_t sheetsInNewWorkbook() const { return sheetsInNewWorkbook_; }

    // Used by the automation objects.
    std::shared_ptr<Workbook> addWorkbook();
    std::shared_ptr<Workbook> openWorkbook(const std::string& path);
    void closeWorkbook(const std::shared_ptr<Workbook>& book);
    void setVisible(bool v);
    void setDisplayAlerts(bool v) { displayAlerts_ = v; }
    void setSheetsInNewWorkbook(std::int32_t n) { sheetsInNewWorkbook_ = n; }
    void doQuit();
    Viewer* viewer() const { return viewer_.get(); }
    // Told when the operator hides the viewer's window himself (its title bar), which "Visible"
    // does not report: the caller's caption and flag can follow.
    using VisibilityListener = std::function<void(bool visible)>;
    void setVisibilityListener(VisibilityListener listener) { visibilityListener_ = std::move(listener); }
    // The viewer's window was closed by the operator: the application counts as hidden.
    void viewerClosed();
    void notifyLayout() const {
        if (viewer_) viewer_->layoutChanged();
    }

private:
    std::vector<std::shared_ptr<Workbook>> workbooks_;
    std::int32_t sheetsInNewWorkbook_ = 1;
    bool visible_ = false;
    bool displayAlerts_ = true;
    bool quit_ = false;
    std::unique_ptr<Viewer> viewer_;
    VisibilityListener visibilityListener_;
};

// A new application object, as "Excel.Application" gives it.
automation::Handle createApplication();
// Registers createApplication for "Excel.Application". The app calls it at start-up off
// Windows; tests call it (or use a ScopedFactory) before driving the engine.
void registerBuiltInEngine();

// The engine's model behind a handle from this engine; null for any other object.
Application* applicationOf(const automation::Handle& h);
Workbook* workbookOf(const automation::Handle& h);
Sheet* sheetOf(const automation::Handle& h);

}  // namespace lumo::spreadsheet
