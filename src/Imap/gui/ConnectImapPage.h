#pragma once
// The source IMAP server page: host, SSL, and the warning wording of the
// source test.
#include "Common/Gui/MigServerPage.h"

namespace tavir::gui {

class ConnectImapPage : public MigServerPage {
    Q_OBJECT

public:
    explicit ConnectImapPage(int nextId);

protected:
    bool getValidationResult() override;

private:
    // The warning for a failed test (not the Corvane refusal), with what
    // to do about a source that takes no password on the connection, or
    // about a changed certificate, when that was the failure.
    QString failureText(const QString& report);
    // Why no password can go to a source that takes none on the connection
    // tested, as the SSL choice had it.
    QString noPasswordText() const;
};

} // namespace tavir::gui
