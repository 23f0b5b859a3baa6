#pragma once
// The crash-report hook of the program. This platform has none attached:
// the object keeps no texts, its handle stays null, and it does nothing.
namespace tavir::gui {

class MigAssist {
public:
    MigAssist(const char* productCode, const char* shortName, const char* version, const char* dumpFileName);
    virtual ~MigAssist();

    void open(const char* productCode, const char* shortName, const char* version, const char* dumpFileName);
    void close();

private:
    // The crash-report facility's own object, where one is attached.
    void* handle = nullptr;
};

} // namespace tavir::gui
