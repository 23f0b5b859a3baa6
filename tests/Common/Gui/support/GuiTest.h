#pragma once
// Driving real widgets in the wizard's tests: the one application object on
// the offscreen platform, waiting on the event loop, clicks, and answering
// the modal dialogs a click opens (found when they appear, then clicked).
#include <QMessageBox>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <functional>
#include <ostream>
#include <vector>

class QAbstractButton;
class QApplication;
class QLabel;
class QTimer;
class QWidget;

namespace tavir::test {

// Creates the application object once per process: the offscreen platform
// unless QT_QPA_PLATFORM names another, and the user's state and settings
// folders in a fresh temporary folder so no test touches the real ones.
QApplication& guiApplication();

// Runs the event loop until `condition` holds; false after the time-out.
bool waitFor(const std::function<bool()>& condition, int timeoutMs = 5000);
// Runs the event loop for a while (for "nothing happens" checks).
void settle(int ms = 50);

void click(QAbstractButton* button);

// Saves a picture of the window as <name>.png in $TAVIR_SCREENSHOT_DIR when
// that is set (scripts/screenshots.sh): from the screen on a real display,
// else as the widgets paint themselves.
void screenshot(QWidget* window, const char* name);
// Activates the first link of a rich-text label as a mouse click would.
void clickLink(QLabel* label);

// While alive, hands every modal dialog that appears to `handler`, which
// closes it (by clicking a button). Checked every few milliseconds.
class OnModal {
public:
    explicit OnModal(std::function<void(QWidget*)> handler);
    ~OnModal();
    OnModal(const OnModal&) = delete;
    OnModal& operator=(const OnModal&) = delete;

    int seen() const { return seen_; }

private:
    void poll();

    std::function<void(QWidget*)> handler_;
    QTimer* timer_;
    QPointer<QWidget> last_;
    int seen_ = 0;
};

// While alive, keeps the program's warnings (qWarning) instead of printing
// them. One at a time.
class WarningsKept {
public:
    WarningsKept();
    ~WarningsKept();
    WarningsKept(const WarningsKept&) = delete;
    WarningsKept& operator=(const WarningsKept&) = delete;

    QStringList texts() const { return texts_; }

private:
    static void keep(QtMsgType type, const QMessageLogContext& context, const QString& text);

    QStringList texts_;
    QtMessageHandler previous_;
};

// Answers every message box with one button and keeps what they said.
class MessageBoxAnswer {
public:
    explicit MessageBoxAnswer(QMessageBox::StandardButton answer);

    struct Box {
        QString title;
        QString text;
        QMessageBox::Icon icon;
        // What Enter answers.
        QMessageBox::StandardButton defaultButton;
    };
    const std::vector<Box>& boxes() const { return boxes_; }
    std::vector<QString> texts() const;

private:
    QMessageBox::StandardButton answer_;
    std::vector<Box> boxes_;
    OnModal modal_;
};

} // namespace tavir::test

// A failed comparison of texts prints them as text, not as UTF-16 units.
inline void PrintTo(const QString& text, std::ostream* out)
{
    *out << '"' << text.toStdString() << '"';
}
