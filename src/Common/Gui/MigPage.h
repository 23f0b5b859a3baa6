#pragma once
// The base of every wizard page: a background thread, the chain of actions
// that runs when the page is entered, the two-phase validation behind Next,
// and the status row (warning icon and text, progress texts) around them.
#include <QWizardPage>

class QHBoxLayout;
class QLabel;

namespace tavir::gui {

class MigThread;

class MigPage : public QWizardPage {
    Q_OBJECT

public:
    MigPage(int nextId, bool commitPrevious);
    ~MigPage() override;

    void initializePage() override;
    bool validatePage() override;
    bool isComplete() const override;
    int nextId() const override;

    bool actionIsRunning() const { return actionRunning; }
    MigThread* migrator() const { return migThread; }

    void setWarningText(const QString& text);
    void setProgressText(const QString& text);
    void setProgressRightText(const QString& text);
    void setWarningVisible(bool show);
    // Shows or hides the right-hand progress text, which the end of the
    // busy phase hides.
    void setProgressRightVisible(bool show);
    // Writes the warning row of the result page (MigWizard::ResultPageId).
    void setResultErrorText(const QString& text);
    QString getWizardName() const;

protected:
    // Hooks of the concrete pages; see the class comment.
    virtual bool startValidation();
    virtual bool getValidationResult();
    virtual bool startAction(unsigned int n);
    virtual bool getActionResult(unsigned int n);
    virtual void setControlsEnabled(bool enable);

    bool startActionManual(unsigned int n);
    void updateStarted();
    void updateFinished();
    bool warningShown() const;
    // A label that shows the image at the top of its row, as narrow as the
    // image: the warning icons and the source page's note.
    static QLabel* iconLabel(const QString& image);

protected slots:
    void slotValidationFinished();
    void slotActionFinished();
    void slotChanged();
    virtual void slotTimer();
    virtual void slotStop();

private:
    void setPreviousCommit(bool commit);
    // Takes the result of the action in hand and starts the next one;
    // false when the chain has ended.
    bool advanceChain();

    // The page's data. The concrete pages reach the status row and the two
    // switches; the rest is the base's own.
protected:
    // The concrete page adds it as the last item of its layout.
    QHBoxLayout* statusRow = nullptr;

private:
    MigThread* migThread = nullptr;
    int nextPageId;
    unsigned int actionIndex = 0;

protected:
    // Set when the page closes the program: no warning row is shown any more.
    bool warningsSuppressed = false;
    // Cleared by a page whose chain starts by hand, not on entering it.
    bool autoStartActions = true;

private:
    QLabel* warningIcon = nullptr;
    QLabel* warningLabel = nullptr;
    QLabel* progressLabel = nullptr;
    QLabel* progressRightLabel = nullptr;
    bool validationConnected = false;
    bool commitPrevious;
    bool actionRunning = false;
};

} // namespace tavir::gui
