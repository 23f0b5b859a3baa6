#include "imapclient/CommandAuth.h"

#include "crypto/StreamDigest.h"
#include "imapclient/ImapException.h"
#include "utils/Base64.h"

namespace tavir::mail {

namespace {

std::string md5(const std::string& data, bool hex)
{
    tavir::crypto::StreamDigestMD5 digest(false);
    digest.write(data.data(), static_cast<std::streamsize>(data.size()));
    return hex ? digest.getAsciiDigest(false) : digest.getDigest(false);
}

} // namespace

ChallengeCommand::ChallengeCommand(ConnectionInternal& connection, const std::string& verb)
    : Command(connection, verb)
{
}

template <class Answer>
unsigned ChallengeCommand::exchange(Answer answer, const std::string& behind)
{
    ConnectionInternal& c = connection();
    ConnectionInternal::Operation operation(c);
    ReplyReader reader(c, getTag());
    completeCommandString();
    // Never reconnects: a login is itself part of connecting, and a
    // reconnect would log in again from inside this login.
    c.send(getCommandString(), false, true);
    // Untagged data may come first; the tagged reply instead of a
    // continuation ends the exchange.
    ReplyReader::Reply first = reader.next();
    for (; first.kind == ReplyReader::Kind::Untagged; first = reader.next())
        untagged_.push_back(std::move(first.text));
    if (first.kind == ReplyReader::Kind::Tagged)
        return complete(first);
    std::string reply;
    if (!answer(first.text, reply)) {
        // The exchange can't go on and the server waits for an answer:
        // the connection is given up rather than left half way.
        c.close();
        c.setLastErrorResponse(
            "the challenge of " + c.endpointText() + " can't be answered: " + first.text);
        return NO;
    }
    reply += "\r\n";
    reply += behind;
    c.send(reply, false, true);
    return complete(reader.untilTagged(&untagged_));
}

CommandAuthCramMD5::CommandAuthCramMD5(
    ConnectionInternal& connection, const std::string& user, const std::string& password)
    : ChallengeCommand(connection, "AUTHENTICATE CRAM-MD5")
    , password_(password)
    , user_(user)
{
}

std::string CommandAuthCramMD5::makeCramMD5Response(const std::string& challenge) const
{
    std::string decoded;
    tavir::utils::decodeBase64(challenge, decoded);
    std::string key = password_;
    if (key.size() > 64)
        key = md5(key, false);
    std::string inner(64, '\0');
    std::string outer(64, '\0');
    for (std::size_t i = 0; i < 64; ++i) {
        unsigned char k = i < key.size() ? static_cast<unsigned char>(key[i]) : 0;
        inner[i] = static_cast<char>(k ^ 0x36);
        outer[i] = static_cast<char>(k ^ 0x5C);
    }
    std::string innerDigest = md5(inner + decoded, false);
    std::string text = user_ + " " + md5(outer + innerDigest, true);
    std::string out;
    tavir::utils::encodeBase64(text, out, false, 79, true);
    return out;
}

unsigned CommandAuthCramMD5::execute()
{
    return exchange([this](const std::string& continuation, std::string& answer) {
        answer = makeCramMD5Response(continuation.substr(1));
        return true;
    });
}

CommandXMasterAuth::CommandXMasterAuth(
    ConnectionInternal& connection, const std::string& masterPassword)
    : ChallengeCommand(connection, "X-MASTERAUTH")
    , masterPassword_(masterPassword)
{
}

bool CommandXMasterAuth::makeAnswer(
    const std::string& continuation, const std::string& masterPassword, std::string& answer)
{
    std::size_t open = continuation.find('<');
    if (open == std::string::npos)
        return false;
    std::size_t close = continuation.find('>');
    if (close != std::string::npos && close < open)
        return false;
    std::string challenge = close == std::string::npos
        ? continuation.substr(open)
        : continuation.substr(open, close - open + 1);
    answer = md5(challenge + masterPassword, true);
    return true;
}

unsigned CommandXMasterAuth::execute(const std::string& behind)
{
    return exchange(
        [this](const std::string& continuation, std::string& answer) {
            return makeAnswer(continuation, masterPassword_, answer);
        },
        behind);
}

CommandXSetUser::CommandXSetUser(ConnectionInternal& connection, const std::string& mailbox)
    : Command(connection, "X-SETUSER")
{
    addParamString(mailbox);
}

CommandXCreateUser::CommandXCreateUser(ConnectionInternal& connection, const std::string& name,
    const std::string& domain, const std::string& password, const std::string& fullName,
    const std::vector<std::string>& groups)
    : Command(connection, "X-CREATEUSER")
{
    Synthesizer list;
    list.addParam("NAME");
    list.addParamStringEx(name);
    list.addParam("DOMAIN");
    list.addParamStringEx(domain);
    list.addParam("PASSWORD");
    list.addParamString(password);
    if (!fullName.empty()) {
        list.addParam("FULLNAME");
        list.addParamString(fullName);
    }
    if (!groups.empty()) {
        list.addParam("GROUPS");
        list.addParamVectorString(groups);
    }
    addParamVector(list.get());
}

} // namespace tavir::mail
