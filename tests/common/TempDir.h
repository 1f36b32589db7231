// Test helpers: a private working directory per test, and small file reads.
#ifndef TULVO_TESTS_COMMON_TEMPDIR_H
#define TULVO_TESTS_COMMON_TEMPDIR_H

#include <string>
#include <vector>

namespace tulvo_test {

// Creates a fresh directory under the system's temporary directory and makes it the current
// directory while entered; removes it with its files on Leave.
class CTempDir {
public:
    CTempDir() = default;
    CTempDir(const CTempDir&) = delete;
    CTempDir& operator=(const CTempDir&) = delete;
    ~CTempDir();
    void Enter();
    void Leave();
    const std::string& Path() const { return m_x_Path; }

private:
    std::string m_x_Path;
    std::string m_x_Previous;
};

bool FileExists(const std::string& i_x_Path);
std::string ReadFile(const std::string& i_x_Path);
// Expects every text to appear in i_x_Text, each after the one before it (gtest failure else).
void ExpectInOrder(const std::string& i_x_Text, const std::vector<std::string>& i_ax_Texts);

// Concatenation of every "<base>.*.Txt" file of the current directory, in name order.
std::string ReadAllDailyFiles(const std::string& i_x_BaseName);

} // namespace tulvo_test

#endif
