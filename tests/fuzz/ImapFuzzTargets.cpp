#include "ImapFuzzTargets.h"

#include "imapclient/Command.h"
#include "imapclient/CommandMessage.h"
#include "imapclient/FetchMessage.h"
#include "imapclient/ConnectionInternal.h"
#include "imapclient/ImapException.h"
#include "imapclient/Parser.h"
#include "imapclient/Synthesizer.h"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>

namespace tavir::fuzz {

using namespace tavir::mail;

namespace {

// The server side of the fuzzed connection: the input, then silence.
class InputStream : public ImapStream {
public:
    explicit InputStream(std::string bytes)
        : bytes_(std::move(bytes))
    {
    }
    bool create() override { return true; }
    void close() override { }
    bool good() override
    {
        eof_ = false;
        return !bad_;
    }
    int get() override
    {
        if (pos_ >= bytes_.size()) {
            eof_ = true;
            return -1;
        }
        return static_cast<unsigned char>(bytes_[pos_++]);
    }
    std::size_t read(char* data, std::size_t n) override
    {
        std::size_t got = std::min(n, bytes_.size() - pos_);
        std::copy_n(bytes_.data() + pos_, got, data);
        pos_ += got;
        return got;
    }
    void write(const char*, std::size_t n) override { written_ += n; }
    void flush() override { }
    void setTimeoutMs(unsigned) override { }

private:
    std::string bytes_;
    std::size_t pos_ = 0;
    std::size_t written_ = 0;
    bool eof_ = false;
    bool bad_ = false;
};

void walkNodes(const std::string& text)
{
    Parser parser(text);
    std::string node;
    for (int i = 0; i < 64 && parser.getNodeData(node); ++i) {
        if (!node.empty() && node.size() < text.size())
            walkNodes(node); // nested groups, as the command readers do
    }
}

} // namespace

int imapParser(const std::uint8_t* data, std::size_t size)
{
    std::string text(reinterpret_cast<const char*>(data), size);
    try {
        ResponseResult result;
        Parser parser(text);
        parser.parseResponse(result);
        walkNodes(result.getString());
    } catch (const ImapParserException&) {
    }
    try {
        walkNodes(text);
    } catch (const ImapParserException&) {
    }
    try {
        FetchResponse fetch;
        parseFetchResponse(text, fetch);
    } catch (const ImapParserException&) {
    }
    // The pipelined copy's reader and the UID reader never throw.
    FetchMessage message;
    bool answersForBody = false;
    if (loadFetchResponse(text, message, answersForBody) && !answersForBody)
        std::abort();
    extractUID(text);
    try {
        std::string rest;
        Parser parser(text);
        parser.getRest(rest);
        if (rest.size() > text.size())
            std::abort();
    } catch (const ImapParserException&) {
    }
    return 0;
}

int imapResponse(const std::uint8_t* data, std::size_t size)
{
    std::string input(reinterpret_cast<const char*>(data), size);
    ConnectionInternal connection;
    connection.initialize("fuzz", 0, "user", "password", false, 1, false);
    connection.setLimits(4096, 1 << 16, 1 << 18, 1 << 20);
    bool first = true;
    connection.setStreamFactory([&](const ImapEndpoint&) -> std::unique_ptr<ImapStream> {
        if (!first)
            return nullptr; // one session only: a reconnect fails
        first = false;
        return std::make_unique<InputStream>("* OK fuzz\r\n" + input);
    });
    try {
        connection.init(true);
        for (const char* verb : {"LIST", "FETCH", "NOOP"}) {
            Command command(connection, verb);
            command.addParamString("x");
            command.execute(nullptr);
            std::vector<ResponseResult> results;
            for (std::uint32_t type : {RespList, RespFetch, RespExists, RespCapability, RespStatus,
                     RespCodeUidValidity}) {
                try {
                    command.filterResponses(results, type);
                } catch (const ImapParserException&) {
                }
            }
            for (const ResponseResult& r : results) {
                try {
                    walkNodes(r.getString());
                } catch (const ImapParserException&) {
                }
            }
        }
    } catch (const ImapException&) {
    }
    return 0;
}

int imapQuote(const std::uint8_t* data, std::size_t size)
{
    std::string input(reinterpret_cast<const char*>(data), size);
    std::size_t split = input.find('\0');
    std::string first = input.substr(0, split);
    std::string second = split == std::string::npos ? std::string() : input.substr(split + 1);
    Synthesizer line;
    line.addParam("K1");
    line.addParam("LOGIN");
    line.addParamString(first);
    line.addParamString(second);
    line.addParamVectorString({first, second});
    line.append("\r\n");
    if (!Command::isSingleCommand(line.get(), false, nullptr))
        std::abort();
    std::string text = line.get().substr(0, line.get().size() - 2);
    try {
        Parser parser(text);
        std::string node;
        if (!parser.getNode(node) || node != "K1" || !parser.getNode(node) || node != "LOGIN")
            std::abort();
        if (!parser.getNode(node) || node != first || !parser.getNode(node) || node != second)
            std::abort();
        if (!parser.getNodeData(node))
            std::abort();
        Parser list(node);
        std::string item;
        if (!list.getNode(item) || item != first || !list.getNode(item) || item != second)
            std::abort();
        if (parser.getNode(node) || list.getNode(item))
            std::abort();
    } catch (const ImapParserException&) {
        std::abort();
    }
    return 0;
}

} // namespace tavir::fuzz
