#pragma once
// Stand-in panels, alerts and file manager for the shell's tests: answers are queued by the
// test, calls are recorded.
#include <deque>
#include <filesystem>
#include <optional>
#include <vector>

#include "ui/DesktopServices.h"

namespace lw::ui::test {

class FakeDesktop : public DesktopServices {
public:
    std::deque<std::vector<std::filesystem::path>> filesAndFoldersAnswers;
    std::deque<std::optional<std::filesystem::path>> folderAnswers;
    std::deque<std::optional<std::optional<std::filesystem::path>>> fileAnswers;
    std::deque<int> alertAnswers;  // button index; 0 when empty

    std::vector<std::vector<FileType>> fileRequests;
    std::vector<std::vector<std::filesystem::path>> revealed;
    std::vector<Alert> alerts;
    std::vector<QString> openedUrls;
    std::vector<QString> folderPrompts;

    std::vector<std::filesystem::path> chooseFilesAndFolders(QWidget*) override {
        if (filesAndFoldersAnswers.empty()) return {};
        auto answer = filesAndFoldersAnswers.front();
        filesAndFoldersAnswers.pop_front();
        return answer;
    }
    std::optional<std::filesystem::path> chooseFolder(QWidget*, const std::filesystem::path&,
                                                      const QString& prompt) override {
        folderPrompts.push_back(prompt);
        if (folderAnswers.empty()) return std::nullopt;
        auto answer = folderAnswers.front();
        folderAnswers.pop_front();
        return answer;
    }
    std::optional<std::optional<std::filesystem::path>> chooseFile(QWidget*, const std::vector<FileType>& types) override {
        fileRequests.push_back(types);
        if (fileAnswers.empty()) return std::nullopt;
        auto answer = fileAnswers.front();
        fileAnswers.pop_front();
        return answer;
    }
    void reveal(const std::vector<std::filesystem::path>& files) override { revealed.push_back(files); }
    int runAlert(const Alert& alert) override {
        alerts.push_back(alert);
        if (alertAnswers.empty()) return 0;
        int answer = alertAnswers.front();
        alertAnswers.pop_front();
        return answer;
    }
    void openUrl(const QString& url) override { openedUrls.push_back(url); }
};

}  // namespace lw::ui::test
