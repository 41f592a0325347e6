#pragma once
// The help runtime's window: one top-level window, owned by no other window,
// that shows the pages of a help file. A help file here is a folder of HTML
// pages ("DIR/Sentrel.chm/") whose default page is index.html. The window has
// Back, Forward and Home, follows links between pages, and shows a page of its
// own naming what it looked for when the help file or a page is missing.
//
// The class lives inside the loadable module hhctrl.ocx; the program reaches
// it only through HtmlHelpA and HtmlHelpW (HelpRuntime.cpp). It has no
// Q_OBJECT, so the module registers nothing with Qt that could outlive it.

#include <QString>
#include <QTextBrowser>
#include <QUrl>
#include <QWidget>

class QAction;
class QToolBar;

namespace helpruntime {

// The default page of a help file.
inline constexpr const char* DefaultPage = "index.html";

// A request "DIR/Sentrel.chm::/page.html#part" taken apart: the help file
// "DIR/Sentrel.chm", the page "page.html" and the fragment "part". Without
// "::" the page is empty, which stands for the default page. A window name
// after ">" at the end ("...::/page.html>main") is dropped.
struct THelpRequest {
    QString HelpFile;
    QString Page;
    QString Fragment;
};
THelpRequest ParseHelpRequest(const QString& Text);

// The text browser of the window: local pages are read from the disk; a
// page that cannot be read is replaced by a page that says what was looked for.
class THelpBrowser : public QTextBrowser {
public:
    explicit THelpBrowser(QWidget* Parent);
    // The help file (folder) the pages shown now belong to.
    void SetHelpFile(const QString& HelpFile) { FHelpFile = HelpFile; }
    const QString& HelpFile() const { return FHelpFile; }
    QVariant loadResource(int Type, const QUrl& Name) override;

private:
    QString MissingPage(const QString& Path) const;
    QString FHelpFile;
};

class THelpWindow : public QWidget {
public:
    THelpWindow();

    // Shows the request's page (the default page when it names none), and
    // brings the window to the front.
    void ShowRequest(const THelpRequest& Request);
    // Goes to the default page of the help file shown now.
    void GoHome();

protected:
    bool event(QEvent* Event) override;

private:
    // Keeps the window usable while a modal dialog is up: it becomes a
    // transient of the active modal window, which then does not block it
    // (as a help window of the desktop is not disabled by a dialog).
    void FollowModalWindow();
    void UpdateTitle();

    THelpBrowser* FBrowser = nullptr;
    QToolBar* FToolBar = nullptr;
    QAction* FBackAction = nullptr;
    QAction* FForwardAction = nullptr;
    QAction* FHomeAction = nullptr;
};

} // namespace helpruntime
