#pragma once
// The engine's free entry functions: process start-up, the one Migrator,
// and the two server tests of the wizard's first pages.
#include "Imap/engine/IMigrator.h"

#include <string>

namespace tavir::migration {

// Starts the socket layer, loads the conversion library from "../lib/zorp"
// beside the executable and opens both logs (appending). False when the
// library or a log can't be opened; a log failure also writes
// "Error initializing logger!" to standard error.
bool init(const std::wstring& reportFile, const std::wstring& debugFile);
// The same, but a log that can't be opened is not written to standard
// error: `logsFailure` names it with the reason ("the report ... can't be
// opened: Permission denied"), empty when the logs were opened.
bool initNamingLogsFailure(
    const std::wstring& reportFile, const std::wstring& debugFile, std::string& logsFailure);
// Nothing to release: the process-wide services end at exit.
void done();
// Creates the one engine object; the caller owns it. False when out is null.
bool createMigrator(IMigrator** out);
// Source server ("host" or "host:port"): 0 when it answers over IMAP, 1
// otherwise. Blocking; never throws.
int testImap(const std::wstring& server, bool ssl);
// Why the last testImap gave 1, where there is more to say than that:
// CertificateChanged when the source showed another certificate than the
// one pinned for it (the report then names both fingerprints and the
// known-hosts file); TakesNoPassword when it greeted but takes no password
// this tool can send on that connection (over plain IMAP: none without
// TLS; the report says which); Other otherwise. Any thread.
SourceTestFailure sourceTestFailure();
// Target administrator login: a tinydb::AdminCheckResult (AdminOk,
// AdminNoConnection, AdminAuthenticationFailed, AdminReadOnly,
// AdminUnsupportedVersion).
int testCvn(const std::wstring& server, const std::wstring& user, const std::wstring& password);

} // namespace tavir::migration
