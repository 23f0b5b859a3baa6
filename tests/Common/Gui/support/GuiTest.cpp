// Helpers that drive the wizard's widgets in the tests.
#include "support/GuiTest.h"

#include "support/TestSupport.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QGuiApplication>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QLabel>
#include <QTest>
#include <QTextDocument>
#include <QTimer>

#include <sys/stat.h>

#include <cstdlib>

namespace tavir::test {

QApplication& guiApplication()
{
    static TempDir home;
    static int argc = 1;
    static char name[] = "gui_test";
    static char* argv[] = {name, nullptr};
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("XDG_STATE_HOME", QByteArray::fromStdString(home.path() + "/state"));
    qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(home.path() + "/config"));
    // Without one Qt makes $TMPDIR/runtime-<user> and leaves it there.
    const std::string runtime = home.path() + "/runtime";
    mkdir(runtime.c_str(), 0700);
    qputenv("XDG_RUNTIME_DIR", QByteArray::fromStdString(runtime));
    // Never destroyed: at process exit the objects it would tear down are
    // already gone. The pointer keeps it reachable for leak checkers.
    static QApplication* application = new QApplication(argc, argv);
    return *application;
}

bool waitFor(const std::function<bool()>& condition, int timeoutMs)
{
    return QTest::qWaitFor(condition, timeoutMs);
}

void settle(int ms)
{
    QTest::qWait(ms);
}

namespace {
WarningsKept* warningsKept = nullptr;
} // namespace

WarningsKept::WarningsKept()
{
    warningsKept = this;
    previous_ = qInstallMessageHandler(&WarningsKept::keep);
}

WarningsKept::~WarningsKept()
{
    qInstallMessageHandler(previous_);
    warningsKept = nullptr;
}

void WarningsKept::keep(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    if (type == QtWarningMsg && warningsKept) {
        warningsKept->texts_ << text;
        return;
    }
    if (warningsKept && warningsKept->previous_)
        warningsKept->previous_(type, context, text);
}

void screenshot(QWidget* window, const char* name)
{
    const QString folder = qEnvironmentVariable("TAVIR_SCREENSHOT_DIR");
    if (folder.isEmpty())
        return;
    QDir().mkpath(folder);
    settle(100); // let the page finish painting
    QPixmap picture;
    if (QGuiApplication::platformName() == "xcb" && window->screen())
        picture = window->screen()->grabWindow(window->winId());
    if (picture.isNull())
        picture = window->grab();
    picture.save(folder + "/" + name + ".png");
}

void click(QAbstractButton* button)
{
    // A check box reacts on its indicator and text only, which need not
    // cover the middle of a widget stretched by its layout.
    if (qobject_cast<QCheckBox*>(button))
        QTest::mouseClick(button, Qt::LeftButton, Qt::NoModifier, QPoint(6, button->height() / 2));
    else
        QTest::mouseClick(button, Qt::LeftButton);
}

void clickLink(QLabel* label)
{
    // Find the anchor's position in the laid-out text and click there.
    QTextDocument document;
    document.setHtml(label->text());
    const QString plain = document.toPlainText();
    const QPoint where(label->fontMetrics().horizontalAdvance(plain.left(plain.size() - 1)) + 2 +
                           label->contentsRect().left(),
        label->contentsRect().center().y());
    QTest::mouseClick(label, Qt::LeftButton, Qt::NoModifier, where);
}

OnModal::OnModal(std::function<void(QWidget*)> handler)
    : handler_(std::move(handler))
    , timer_(new QTimer)
{
    QObject::connect(timer_, &QTimer::timeout, [this] { poll(); });
    timer_->start(5);
}

OnModal::~OnModal()
{
    delete timer_;
}

void OnModal::poll()
{
    QWidget* modal = QApplication::activeModalWidget();
    if (!modal || !modal->isVisible() || modal == last_)
        return;
    last_ = modal;
    ++seen_;
    handler_(modal);
}

MessageBoxAnswer::MessageBoxAnswer(QMessageBox::StandardButton answer)
    : answer_(answer)
    , modal_([this](QWidget* widget) {
        auto* box = qobject_cast<QMessageBox*>(widget);
        if (!box)
            return;
        boxes_.push_back({box->windowTitle(), box->text(), box->icon(), box->standardButton(box->defaultButton())});
        QAbstractButton* button = box->button(answer_);
        if (!button)
            button = box->buttons().first();
        click(button);
    })
{
}

std::vector<QString> MessageBoxAnswer::texts() const
{
    std::vector<QString> result;
    for (const Box& box : boxes_)
        result.push_back(box.text);
    return result;
}

} // namespace tavir::test

// Under LeakSanitizer: fontconfig, which Qt's font database loads, keeps
// its caches until exit without freeing them. Those blocks are the
// library's own, not the wizard's, so only they are left out.
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libfontconfig.so\n";
}
