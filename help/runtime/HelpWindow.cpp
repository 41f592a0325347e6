#include "help/runtime/HelpWindow.h"

#include <QAction>
#include <QApplication>
#include <QDir>
#include <QEvent>
#include <QFileInfo>
#include <QKeySequence>
#include <QStyle>
#include <QTextDocument>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>
#include <QWindow>

namespace helpruntime {

namespace {

const QString WindowTitle = QStringLiteral("Sentrel Help");

QString Escaped(const QString& Text) {
    return Text.toHtmlEscaped();
}

// A page of the window's own, in the look of the help pages.
QString MessagePage(const QString& Title, const QString& Body) {
    return QStringLiteral("<html><head><title>%1</title></head>"
                          "<body style=\"font-family: sans-serif;\">"
                          "<h1 style=\"color: #8b1a1a;\">%1</h1>%2</body></html>")
        .arg(Escaped(Title), Body);
}

QString Code(const QString& Text) {
    return QStringLiteral("<code>%1</code>").arg(Escaped(QDir::toNativeSeparators(Text)));
}

// The path of Path below Folder, or empty text when it is not below it.
QString PathBelow(const QString& Folder, const QString& Path) {
    if (Folder.isEmpty())
        return {};
    const QString prefix = QDir::cleanPath(Folder) + QLatin1Char('/');
    const QString clean = QDir::cleanPath(Path);
    return clean.startsWith(prefix) ? clean.mid(prefix.size()) : QString();
}

} // namespace

THelpRequest ParseHelpRequest(const QString& Text) {
    THelpRequest request;
    const QString& text = Text;
    qsizetype split = text.indexOf(QStringLiteral(".chm::"), 0, Qt::CaseInsensitive);
    if (split >= 0)
        split += 4;
    else
        split = text.indexOf(QStringLiteral("::"));
    QString topic;
    if (split >= 0) {
        request.HelpFile = text.left(split);
        topic = text.mid(split + 2);
    } else {
        request.HelpFile = text;
    }
    // A window name at the end: "...>name", where the name holds no separator.
    QString& tail = split >= 0 ? topic : request.HelpFile;
    if (const qsizetype window = tail.lastIndexOf(QLatin1Char('>'));
        window >= 0 && tail.indexOf(QLatin1Char('/'), window) < 0)
        tail.truncate(window);
    topic.replace(QLatin1Char('\\'), QLatin1Char('/'));
    while (topic.startsWith(QLatin1Char('/')))
        topic.remove(0, 1);
    if (const qsizetype hash = topic.indexOf(QLatin1Char('#')); hash >= 0) {
        request.Fragment = topic.mid(hash + 1);
        topic.truncate(hash);
    }
    request.Page = topic;
    return request;
}

THelpBrowser::THelpBrowser(QWidget* Parent) : QTextBrowser(Parent) {
    setObjectName(QStringLiteral("Browser"));
    setOpenExternalLinks(true);
    setOpenLinks(true);
}

QVariant THelpBrowser::loadResource(int Type, const QUrl& Name) {
    const QUrl url = Name.isRelative() ? source().resolved(Name) : Name;
    const bool isDocument = Type == QTextDocument::HtmlResource ||
                            Type == QTextDocument::UnknownResource ||
                            Type == QTextDocument::MarkdownResource;
    if (isDocument && url.isLocalFile()) {
        const QString path = url.toLocalFile();
        const QFileInfo info(path);
        if (!info.isFile() || !info.isReadable())
            return MissingPage(path);
    }
    return QTextBrowser::loadResource(Type, url);
}

QString THelpBrowser::MissingPage(const QString& Path) const {
    const QFileInfo helpFile(FHelpFile);
    const QString page = PathBelow(FHelpFile, Path);
    if (!page.isEmpty() && !helpFile.isDir()) {
        const QString folder = helpFile.absolutePath();
        if (helpFile.exists())
            return MessagePage(
                QStringLiteral("Help file not readable"),
                QStringLiteral("<p>The help file %1 is not a folder of help pages. This help "
                               "window reads its help as a folder of HTML pages named "
                               "<code>Sentrel.chm</code> beside the program.</p>"
                               "<p>Looked for the page %2 in it, that is %3.</p>")
                    .arg(Code(FHelpFile), Code(page), Code(Path)));
        return MessagePage(
            QStringLiteral("Help file not found"),
            QStringLiteral("<p>The help file %1 was not found.</p>"
                           "<p>The help of Kestrava Sentrel is a folder of HTML pages named "
                           "<code>Sentrel.chm</code> that is installed beside the program, "
                           "in %2. Reinstall the program, or ask your administrator to copy "
                           "the folder there.</p>"
                           "<p>Looked for the page %3, that is %4.</p>")
                .arg(Code(FHelpFile), Code(folder), Code(page), Code(Path)));
    }
    QString body = QStringLiteral("<p>The help page %1 was not found.</p>")
                       .arg(Code(page.isEmpty() ? QFileInfo(Path).fileName() : page));
    if (!FHelpFile.isEmpty() && !page.isEmpty())
        body += QStringLiteral("<p>Looked for it in the help file %1, that is %2.</p>")
                    .arg(Code(FHelpFile), Code(Path));
    else
        body += QStringLiteral("<p>Looked for %1.</p>").arg(Code(Path));
    const QString contents = QDir(FHelpFile).filePath(QString::fromLatin1(DefaultPage));
    if (!FHelpFile.isEmpty() && QFileInfo(contents).isFile())
        body += QStringLiteral("<p><a href=\"%1\">Go to the contents of the help</a></p>")
                    .arg(Escaped(QUrl::fromLocalFile(contents).toString()));
    return MessagePage(QStringLiteral("Help page not found"), body);
}

THelpWindow::THelpWindow() : QWidget(nullptr, Qt::Window) {
    setObjectName(QStringLiteral("SentrelHelpWindow"));
    // Closing the help never ends the program.
    setAttribute(Qt::WA_QuitOnClose, false);
    setWindowTitle(WindowTitle);
    if (!QApplication::windowIcon().isNull())
        setWindowIcon(QApplication::windowIcon());

    FToolBar = new QToolBar(this);
    FToolBar->setObjectName(QStringLiteral("HelpToolBar"));
    FToolBar->setMovable(false);
    FToolBar->setFloatable(false);
    FToolBar->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);

    auto addAction = [this](QStyle::StandardPixmap Icon, const QString& Caption,
                            const QString& Name, const QList<QKeySequence>& Keys) {
        QAction* action = FToolBar->addAction(style()->standardIcon(Icon), Caption);
        action->setObjectName(Name + QStringLiteral("Action"));
        action->setShortcuts(Keys);
        action->setShortcutContext(Qt::WindowShortcut);
        if (QWidget* button = FToolBar->widgetForAction(action))
            button->setObjectName(Name + QStringLiteral("Button"));
        return action;
    };
    FBackAction = addAction(QStyle::SP_ArrowBack, QStringLiteral("&Back"), QStringLiteral("Back"),
                            QKeySequence::keyBindings(QKeySequence::Back));
    FForwardAction =
        addAction(QStyle::SP_ArrowForward, QStringLiteral("&Forward"), QStringLiteral("Forward"),
                  QKeySequence::keyBindings(QKeySequence::Forward));
    FHomeAction = addAction(QStyle::SP_DirHomeIcon, QStringLiteral("&Home"), QStringLiteral("Home"),
                            {QKeySequence(Qt::ALT | Qt::Key_Home)});
    FBackAction->setToolTip(QStringLiteral("Back to the page shown before"));
    FForwardAction->setToolTip(QStringLiteral("Forward to the next page"));
    FHomeAction->setToolTip(QStringLiteral("The contents of the help"));
    FBackAction->setEnabled(false);
    FForwardAction->setEnabled(false);

    FBrowser = new THelpBrowser(this);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(FToolBar);
    layout->addWidget(FBrowser, 1);

    connect(FBackAction, &QAction::triggered, FBrowser, &QTextBrowser::backward);
    connect(FForwardAction, &QAction::triggered, FBrowser, &QTextBrowser::forward);
    connect(FHomeAction, &QAction::triggered, this, [this] { GoHome(); });
    connect(FBrowser, &QTextBrowser::backwardAvailable, FBackAction, &QAction::setEnabled);
    connect(FBrowser, &QTextBrowser::forwardAvailable, FForwardAction, &QAction::setEnabled);
    connect(FBrowser, &QTextBrowser::sourceChanged, this, [this] { UpdateTitle(); });

    resize(760, 620);
}

void THelpWindow::ShowRequest(const THelpRequest& Request) {
    const QString helpFile =
        Request.HelpFile.isEmpty() ? QString() : QFileInfo(Request.HelpFile).absoluteFilePath();
    FBrowser->SetHelpFile(helpFile);
    const QString page = Request.Page.isEmpty() ? QString::fromLatin1(DefaultPage) : Request.Page;
    QUrl url = QUrl::fromLocalFile(QDir(helpFile).filePath(page));
    if (!Request.Fragment.isEmpty())
        url.setFragment(Request.Fragment);

    const QUrl shown = FBrowser->source().adjusted(QUrl::RemoveFragment);
    if (!shown.isEmpty() && shown == url.adjusted(QUrl::RemoveFragment)) {
        // The same page again: read it anew, it may have been installed or
        // edited since.
        FBrowser->reload();
        if (!Request.Fragment.isEmpty())
            FBrowser->scrollToAnchor(Request.Fragment);
    } else {
        FBrowser->setSource(url, QTextDocument::HtmlResource);
    }
    UpdateTitle();

    if (isMinimized())
        setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    raise();
    activateWindow();
    FollowModalWindow();
}

void THelpWindow::GoHome() {
    if (FBrowser->HelpFile().isEmpty())
        return;
    FBrowser->setSource(
        QUrl::fromLocalFile(QDir(FBrowser->HelpFile()).filePath(QString::fromLatin1(DefaultPage))),
        QTextDocument::HtmlResource);
}

bool THelpWindow::event(QEvent* Event) {
    if (Event->type() == QEvent::WindowBlocked)
        // A modal dialog opened while the help is up: follow it once the
        // blocking is settled.
        QMetaObject::invokeMethod(
            this, [this] { FollowModalWindow(); }, Qt::QueuedConnection);
    return QWidget::event(Event);
}

void THelpWindow::FollowModalWindow() {
    QWindow* own = windowHandle();
    if (own == nullptr)
        return;
    QWidget* modal = QApplication::activeModalWidget();
    QWindow* target = nullptr;
    if (modal != nullptr && modal->window() != this)
        target = modal->window()->windowHandle();
    if (own->transientParent() != target)
        own->setTransientParent(target);
}

void THelpWindow::UpdateTitle() {
    const QString title = FBrowser->documentTitle().simplified();
    setWindowTitle(title.isEmpty() ? WindowTitle : title);
}

} // namespace helpruntime
