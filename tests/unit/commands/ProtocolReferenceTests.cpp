// docs/protocol.md lists, port by port, the command words a dock developer may
// send. Its tables must name exactly the words the handlers recognise, so the
// reference cannot drift from the code.
#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "core/apps/air/AirAppCommands.h"
#include "core/apps/native/NativeAppCommands.h"
#include "core/channels/ChannelCommands.h"
#include "core/commands/CommandHandler.h"
#include "core/tablet/TabletCommands.h"
#include "tests/support/TestFiles.h"

namespace {

using Words = std::set<std::string>;

std::string ReadReference() {
    const char* source = MARLIN_SOURCE_DIR;  // a host path; Wine's Z: drive is the host's root
    std::wstring path = L"Z:";
    for (const char* c = source; *c != '\0'; ++c) path += *c == '/' ? L'\\' : static_cast<wchar_t>(*c);
    return testsupport::ReadBytes(path + L"\\docs\\protocol.md");
}

// The first column of every table headed "| Command |" under the heading
// "## <section>", up to the next "## " heading.
Words DocumentedWords(const std::string& reference, const std::string& section) {
    Words words;
    std::istringstream lines(reference);
    std::string line;
    bool inSection = false, inTable = false;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.rfind("## ", 0) == 0) inSection = line == "## " + section;
        if (!inSection) continue;
        if (line.rfind("| Command |", 0) == 0) {
            inTable = true;
        } else if (line.rfind("|", 0) != 0) {
            inTable = false;
        } else if (inTable && line.rfind("| `", 0) == 0) {
            const size_t end = line.find('`', 3);
            words.insert(line.substr(3, end - 3));
        }
    }
    return words;
}

Words Join(std::initializer_list<std::vector<std::string>> tables) {
    Words words;
    for (const auto& table : tables) words.insert(table.begin(), table.end());
    return words;
}

}  // namespace

TEST(ProtocolReference, CommandTablesListExactlyTheHandlersWords) {
    const std::string reference = ReadReference();
    ASSERT_FALSE(reference.empty()) << "docs/protocol.md not found under " << MARLIN_SOURCE_DIR;
    EXPECT_EQ(DocumentedWords(reference, "Command port"),
              Join({CommandHandler::CommandWords(), AirAppCommandWords(), NativeAppCommandWords()}));
    EXPECT_EQ(DocumentedWords(reference, "Pressure port"), Join({TabletCommandWords()}));
    EXPECT_EQ(DocumentedWords(reference, "Apps port (channels)"), Join({ChannelCommandWords()}));
}
