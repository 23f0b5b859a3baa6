#pragma once
// Checks of a copy of the corpus. Where the copy landed in a store that
// keeps messages (a Dovecot, read back through the raw client; the stand-in
// target, through what it stored): every message of every folder, its
// bytes, its system flags (keywords are not migrated) and its internal
// date. Where only counts are kept (the
// instant target): each folder's message count and bytes, as STATUS tells
// them. Nothing here shares code with the copiers.
#include "BenchCorpus.h"
#include "support/Dovecot.h"
#include "support/MailSnapshot.h"
#include "support/StandInTarget.h"

#include <functional>
#include <string>

namespace tavir::bench {

using ReadAccount = std::function<tavir::test::MailFolders(const CorpusAccount&)>;

// The accounts of the Dovecot that mbsync copied into (logged in with the
// bare user name), each message without the header line "X-TUID: ..."
// that mbsync adds to every message it copies (to find it again), and with
// nothing else taken out.
ReadAccount mbsyncCopies(const tavir::test::Dovecot& server);
// The accounts of the stand-in target (by address), as it stored them.
ReadAccount standInAccounts(const tavir::test::StandInTarget& target);

// "" when every account, as `read` gives it, holds exactly the corpus's
// messages in each of the corpus's folders and nothing in any other folder;
// else the first difference. Runs in a child process, so that what it
// reads never swells the benchmark.
std::string compareMail(const BenchCorpus& corpus, const ReadAccount& read);

// The same for the target that keeps only counts: "" when each of the
// corpus's folders on the IMAP server at host:port (logged in with the
// account's address) holds as many messages and bytes as the corpus's.
std::string compareTotals(const BenchCorpus& corpus, const std::string& host, int port);

} // namespace tavir::bench
