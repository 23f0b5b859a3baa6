// The developer scripts, run as a newcomer runs them, on a scratch tree of
// their own: a one-file CMake project, the real scripts, an install-deps.sh
// that only says how it was called, and for the fuzz script and the clang
// build stand-ins for clang (the test command does not install clang; the
// scratch programs only print their arguments).
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <vector>

#include "support/TestSupport.h"

using tavir::test::TempDir;

namespace {

// What the scratch project's program is.
enum class Source { Good, CompileError, ConfigureError, Fuzzers, Skips };

class ScratchTree {
public:
    explicit ScratchTree(Source source)
    {
        mkdir(dir.file("scripts").c_str(), 0755);
        for (const char* script : {"build.sh", "test.sh", "fuzz.sh", "run.sh"})
            copyScript(script);
        writeExecutable("scripts/install-deps.sh", "#!/bin/sh\necho \"install-deps $*\"\n");
        std::string cmake = "cmake_minimum_required(VERSION 3.25)\nproject(scratch C)\n"
                            "set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)\n"
                            "enable_testing()\n"
                            "add_executable(hello main.c)\nadd_test(NAME hello COMMAND hello)\n";
        std::string main = "int main(void) { return 0; }\n";
        switch (source) {
        case Source::Good:
            break;
        case Source::CompileError:
            main = "int main(void) { return undeclaredOnPurpose; }\n";
            break;
        case Source::ConfigureError:
            cmake += "message(FATAL_ERROR \"broken on purpose\")\n";
            break;
        case Source::Skips:
            // Two tests that skip as GoogleTest's do, for one reason, and a
            // third for another.
            main = "#include <stdio.h>\nint main(int argc, char** argv) {\n"
                   "  printf(\"[ RUN      ] A.B\\nmain.c:3: Skipped\\n%s\\n\\n\", argv[1]);\n"
                   "  printf(\"[  SKIPPED ] A.B (0 ms)\\n\");\n  return 0;\n}\n";
            cmake = "cmake_minimum_required(VERSION 3.25)\nproject(scratch C)\nenable_testing()\n"
                    "add_executable(hello main.c)\n"
                    "add_test(NAME one COMMAND hello \"no widget here\")\n"
                    "add_test(NAME two COMMAND hello \"no widget here\")\n"
                    "add_test(NAME three COMMAND hello \"needs root\")\n"
                    "set_tests_properties(one two three PROPERTIES SKIP_REGULAR_EXPRESSION "
                    "\"\\\\[  SKIPPED \\\\]\")\n";
            break;
        case Source::Fuzzers:
            // Stand-ins for the fuzz targets that print how they were called.
            main = "#include <stdio.h>\nint main(int argc, char** argv) {\n"
                   "  for (int i = 1; i < argc; ++i) printf(\"%s\\n\", argv[i]);\n"
                   "  return 0;\n}\n";
            cmake
                += "foreach(t imap_parser imap_response imap_quote tinydb_decoder tinydb_session)\n"
                   "  add_executable(fuzz_${t} main.c)\nendforeach()\n";
            // The system's C compiler without the sanitizer flags.
            mkdir(dir.file("stand-ins").c_str(), 0755);
            for (const char* name : {"stand-ins/clang", "stand-ins/clang-14"})
                writeExecutable(name,
                    "#!/bin/sh\nfor a; do shift; case $a in -fsanitize=*) ;; *) set -- \"$@\" \"$a\" ;; esac; done\n"
                    "exec cc \"$@\"\n");
            break;
        }
        tavir::test::writeFile(dir.file("CMakeLists.txt"), cmake);
        tavir::test::writeFile(dir.file("main.c"), main);
    }

    // Runs `command` in the tree; its standard output and error together.
    // A compiler launcher from the caller's environment (ccache) would wrap
    // the stand-in compilers and fail on them.
    int run(const std::string& command, std::string* output) const
    {
        return tavir::test::runShell("cd '" + dir.path()
                + "' && unset CMAKE_C_COMPILER_LAUNCHER CMAKE_CXX_COMPILER_LAUNCHER"
                  " && PATH=\"$PWD/stand-ins:$PATH\" "
                + command + " 2>&1",
            output);
    }

private:
    void copyScript(const std::string& name)
    {
        writeExecutable("scripts/" + name,
            tavir::test::readFile(std::string(TAVIR_SOURCE_DIR) + "/scripts/" + name));
    }
    void writeExecutable(const std::string& name, const std::string& text)
    {
        const std::string path = dir.file(name);
        tavir::test::writeFile(path, text);
        chmod(path.c_str(), 0755);
    }

    TempDir dir;
};

} // namespace

TEST(Scripts, ShowTheBuildAndItsErrorsAndTakeAnyFuzzTime)
{
    const struct {
        Source source;
        const char* command;
        int status; // -2: any failure
        std::vector<const char*> shown;
        std::vector<const char*> hidden = {};
    } cases[] = {
        // what it installs, progress as the build runs, then the tests of
        // the folder it built
        {Source::Good, "bash scripts/test.sh", 0,
            {"install-deps test", "install-deps run", "Building C object", "Linking C executable",
                "100% tests passed", "test.sh: no test skipped"}},
        // each skip with its reason, then the count by reason
        {Source::Skips, "bash scripts/test.sh", 0,
            {"test.sh: skipped one: no widget here\ntest.sh: skipped three: needs root\n"
             "test.sh: skipped two: no widget here\n"
             "test.sh: 3 tests skipped: 2 \"no widget here\"; 1 \"needs root\"\n"}},
        {Source::CompileError, "bash scripts/test.sh", -2,
            {"undeclaredOnPurpose", "error", "the build failed"}},
        {Source::ConfigureError, "bash scripts/test.sh", -2,
            {"broken on purpose", "the build failed"}},
        // standard output holds the build folder and nothing else
        {Source::Good,
            "test \"$(bash scripts/build.sh 2>/dev/null)\" = \"$PWD/build\" && echo folder only", 0,
            {"folder only"}},
        // the clang flavour: clang's list installed, clang 14 configured
        {Source::Fuzzers,
            "sh -c 'bash scripts/test.sh --clang-asan && grep ^CMAKE_C_COMPILER: "
            "build-clang-asan/CMakeCache.txt'",
            0, {"install-deps test", "install-deps fuzz", "100% tests passed", "clang-14"}},
        {Source::Fuzzers, "bash scripts/fuzz.sh 86400", 0,
            {"-max_total_time=86400", "for 86400s", "all targets ran clean"}},
        {Source::Good, "bash scripts/fuzz.sh 0", 2, {"usage"}},
        {Source::Good, "bash scripts/fuzz.sh 1.5", 2, {"usage"}},
        {Source::Good, "bash scripts/fuzz.sh 9999999999", 2, {"usage"}},
        // a stand-in started afresh needs a stand-in: said before anything
        {Source::Good, "bash scripts/run.sh --fresh", 2,
            {"run: --check and --fresh go with --demo or --target"}, {"install-deps run"}},
        // no display: said before anything is installed or built
        {Source::Good, "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM bash scripts/run.sh", 1,
            {"run: no display", "\"bash scripts/install-deps.sh screenshots\" installs it"},
            {"install-deps run", "Building"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command);
        ScratchTree tree(c.source);
        std::string output;
        const int status = tree.run(c.command, &output);
        if (c.status == -2)
            EXPECT_NE(status, 0) << output;
        else
            EXPECT_EQ(status, c.status) << output;
        for (const char* text : c.shown)
            EXPECT_NE(output.find(text), std::string::npos) << text << " missing from\n" << output;
        for (const char* text : c.hidden)
            EXPECT_EQ(output.find(text), std::string::npos) << text << " shown in\n" << output;
    }
}
