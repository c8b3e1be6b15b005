#pragma once
// The install job: prepares the folder and the log, runs the steps, reports its end.

#include <filesystem>
#include <string>
#include <vector>

namespace murk::setup {

// What the window hands to a job; the job owns its copy.
struct Choices {
    std::filesystem::path source;  // the disc image or extracted disc folder; may be empty
    std::filesystem::path folder;  // the install folder
    bool shortcut = true;
    bool freeSpace = false;
    bool deleteImage = false;
};

// The values every step of one job shares.
struct Job {
    Choices choices;
    std::filesystem::path repository;  // folder\murk-recomp
    std::filesystem::path extracted;   // repository\game\extracted
    bool needsExtraction = true;       // default.xex was missing when the job started
    // The programs the tools step took from the tools folder, for the build to check that they
    // are still there: an antivirus may remove a compiler it mistakes for a threat.
    std::vector<std::filesystem::path> toolPrograms;
    std::wstring finalMessage;
};

// The launcher of the install the last job built; read by the window after a successful end.
extern std::filesystem::path s_installed;

// Runs one whole job on the calling thread; always ends with exactly one kDoneMessage.
void Install(Choices choices);

// The job's steps, in the order the job runs them.
void ChildEnvironmentStep(const Job& job);
void ToolsStep(Job& job);
void SourceStep(const Job& job);
void BuildStep(const Job& job);
void FinishStep(Job& job);

}  // namespace murk::setup
