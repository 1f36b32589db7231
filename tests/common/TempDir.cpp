#include "tests/common/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <vector>

namespace fs = std::filesystem;

namespace tulvo_test {

CTempDir::~CTempDir() {
    Leave();
}

void CTempDir::Enter() {
    std::random_device l_x_Seed;
    std::mt19937_64 l_x_Random(l_x_Seed());
    const fs::path l_x_Base = fs::temp_directory_path();
    for (;;) {
        const fs::path l_x_Try = l_x_Base / ("tulvo-test-" + std::to_string(l_x_Random()));
        std::error_code l_x_Error;
        if (fs::create_directory(l_x_Try, l_x_Error)) {
            m_x_Path = l_x_Try.string();
            break;
        }
    }
    m_x_Previous = fs::current_path().string();
    fs::current_path(m_x_Path);
}

void CTempDir::Leave() {
    if (m_x_Path.empty()) {
        return;
    }
    std::error_code l_x_Error;
    fs::current_path(m_x_Previous, l_x_Error);
    fs::remove_all(m_x_Path, l_x_Error);
    m_x_Path.clear();
}

bool FileExists(const std::string& i_x_Path) {
    std::error_code l_x_Error;
    return fs::exists(i_x_Path, l_x_Error);
}

std::string ReadFile(const std::string& i_x_Path) {
    std::ifstream l_x_In(i_x_Path, std::ios::binary);
    std::ostringstream l_x_Out;
    l_x_Out << l_x_In.rdbuf();
    return l_x_Out.str();
}

std::string ReadAllDailyFiles(const std::string& i_x_BaseName) {
    std::vector<std::string> l_ax_Names;
    for (const fs::directory_entry& l_x_Entry : fs::directory_iterator(fs::current_path())) {
        const std::string l_x_Name = l_x_Entry.path().filename().string();
        if (l_x_Name.rfind(i_x_BaseName + ".", 0) == 0 && l_x_Name.size() > 4 &&
            l_x_Name.substr(l_x_Name.size() - 4) == ".Txt") {
            l_ax_Names.push_back(l_x_Name);
        }
    }
    std::sort(l_ax_Names.begin(), l_ax_Names.end());
    std::string l_x_All;
    for (const std::string& l_x_Name : l_ax_Names) {
        l_x_All += ReadFile(l_x_Name);
    }
    return l_x_All;
}

void ExpectInOrder(const std::string& i_x_Text, const std::vector<std::string>& i_ax_Texts) {
    size_t l_ul_From = 0;
    for (const std::string& l_x_Expected : i_ax_Texts) {
        const size_t l_ul_At = i_x_Text.find(l_x_Expected, l_ul_From);
        ASSERT_NE(l_ul_At, std::string::npos) << "missing or out of order: " << l_x_Expected << "\n"
                                              << i_x_Text;
        l_ul_From = l_ul_At + l_x_Expected.size();
    }
}

} // namespace tulvo_test
