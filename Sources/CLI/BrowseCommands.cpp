// browse [PATH]: a full-screen look at where the space below a folder went, measured in the
// background, with cleaning of marked items through the engine's plan (shown, confirmed, run as
// one session) and putting them back from the same screen.

#include "CLI/BrowseModel.h"
#include "CLI/BrowseScreen.h"
#include "CLI/Context.h"
#include "CLI/EngineOutput.h"
#include "CLI/SpaceText.h"
#include "Core/ByteSizeFormatter.h"
#include "Core/CleanupSession.h"
#include "Core/ExclusionStore.h"
#include "Core/SafeFileDeleter.h"
#include "Platform/Files/FileManager.h"
#include "Platform/Processes/InterruptSignals.h"
#include "Scan/SpaceTree.h"

#include <CLI/CLI.hpp>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <deque>
#include <functional>
#include <future>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

namespace vornelo::cli {

namespace {

using Deleter = SafeFileDeleter;
using Clock = std::chrono::steady_clock;
using Key = BrowseScreen::Key;

struct BrowseOptions {
    std::string path;
    std::string importFile;
    std::string exportFile;
};

// A walk of one tree on a thread of its own; the tree may be read while it runs. Destroying the
// object stops the walk and waits for it.
class Measurement {
public:
    Measurement(SpaceTree& tree, std::function<void()> finished)
        : thread_([this, &tree, finished = std::move(finished)](std::stop_token stop) {
              outcome_ = tree.measure(platform::FileManager::defaultManager(), &coverage_,
                                      [stop] { return !stop.stop_requested(); });
              done_.store(true, std::memory_order_release);
              finished();
          }) {}

    bool done() const { return done_.load(std::memory_order_acquire); }
    SpaceTree::Outcome outcome() const { return outcome_; }  // once done
    ScanCoverage coverage() const { return coverage_.snapshot(); }

private:
    ScanCoverageRecorder coverage_;
    SpaceTree::Outcome outcome_ = SpaceTree::Outcome::stopped;
    std::atomic<bool> done_{false};
    std::jthread thread_;  // last, so that it is joined before the rest goes
};

// Lets work on other threads wake the screen's loop, so that what they finish shows at once.
class WakeUp {
public:
    WakeUp() {
        if (::pipe2(fds_, O_CLOEXEC | O_NONBLOCK) != 0) fds_[0] = fds_[1] = -1;
    }
    ~WakeUp() {
        for (const int fd : fds_) {
            if (fd >= 0) ::close(fd);
        }
    }
    WakeUp(const WakeUp&) = delete;
    WakeUp& operator=(const WakeUp&) = delete;

    int fd() const { return fds_[0]; }
    void operator()() const {
        if (fds_[1] >= 0) [[maybe_unused]] const auto written = ::write(fds_[1], "!", 1);
    }

private:
    int fds_[2];
};

// What print functions write to standard output, as lines.
std::vector<std::string> captured(const std::function<void()>& print) {
    std::ostringstream text;
    struct Redirect {
        std::streambuf* previous;
        ~Redirect() { std::cout.rdbuf(previous); }
    } redirect{std::cout.rdbuf(text.rdbuf())};
    print();
    std::vector<std::string> lines;
    std::istringstream reader(text.str());
    for (std::string line; std::getline(reader, line);) lines.push_back(line);
    return lines;
}

template <typename T>
bool ready(const std::future<T>& future) {
    return future.valid() && future.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
}

const std::vector<std::string> helpLines{
    "Moving around",
    "  Up, Down, k, j     select an item; Page Up and Page Down a screen at a time",
    "  Right, Enter, l    open the selected folder",
    "  Left, Backspace, h back to the folder above",
    "",
    "Sorting",
    "  s  by size (the default)   n  by name   c  by number of files",
    "  a  switch between the space on disk and the files' lengths",
    "",
    "Cleaning",
    "  space  mark or unmark the selected item; protected items cannot be marked",
    "  d      clean the marked items, or the selected one when none is marked: the plan is",
    "         shown with sizes and protected items, and nothing moves before you press y;",
    "         everything goes to the Trash as one session",
    "  u      put back what the last clean from here moved to the Trash",
    "  r      measure this folder again after it changed",
    "  q      quit (Ctrl-C too; while something runs, Ctrl-C or q stops it)",
    "",
    "Flags before the size",
    "  *  marked   P  protected   !  could not be read entirely",
    "  >  another file system, not entered   @  symbolic link or special file",
};

class Browser {
public:
    Browser(BrowseScreen& screen, std::unique_ptr<SpaceTree> tree, bool measure, const BrowseOptions& options,
            const platform::InterruptSignals& interrupts)
        : screen_(screen), options_(options), interrupts_(interrupts), tree_(std::move(tree)), model_(*tree_) {
        if (measure) {
            walk_ = std::make_unique<Measurement>(*tree_, wake());
        } else {
            measuredText_ = "imported, measured " + tree_->measuredAt().value_or("earlier");
            shortMeasuredText_ = "imported";
        }
    }

    int run() {
        while (!quit_) {
            if (interrupts_.interrupted()) break;  // a signal from outside: leave as for q
            poll();
            draw();
            const int key = screen_.readKey(100, wakeUp_.fd());
            if (key == Key::none) continue;
            handle(key);
        }
        stopEverything();
        return exitCode_;
    }

    // What is left to say once the screen is gone.
    void farewell() const {
        if (!lastSession_) return;
        std::cout << "Cleaned from the browser: \u201Cvornelo-cli restore " << lastSession_->uuidString()
                  << "\u201D puts back what went to the Trash.\n";
    }

private:
    enum class Mode { browsing, page, planning, confirmingPlan, cleaning, confirmingRestore, restoring };

    struct Planned {
        Deleter::Plan plan;
        ScanCoverage coverage;
        bool cancelled = false;
    };
    struct Executed {
        Deleter::ExecutionResult result;
        bool logWritten = true;
    };

    // ---- Background work ----

    std::function<void()> wake() const {
        return [this] { wakeUp_(); };
    }

    // Runs the work on the worker thread; its result is ready, and the screen woken, when it ends.
    template <typename Work>
    auto inBackground(Work work) {
        std::promise<std::invoke_result_t<Work>> promise;
        auto future = promise.get_future();
        worker_ = std::jthread([this, work = std::move(work), promise = std::move(promise)]() mutable {
            promise.set_value(work());
            wakeUp_();
        });
        return future;
    }

    void poll() {
        if (walk_ && walk_->done() && !walkReported_) finishWalk();
        if (freshWalk_ && freshWalk_->done()) finishRemeasure();
        if (!freshWalk_ && !remeasureQueue_.empty() && tree_->isComplete()) startRemeasure();
        if (mode_ == Mode::planning && ready(planJob_)) showPlan();
        if (mode_ == Mode::cleaning && ready(cleanJob_)) showCleanResult();
        if (mode_ == Mode::restoring && ready(restoreJob_)) showRestoreResult();
        model_.refresh();
    }

    void finishWalk() {
        walkReported_ = true;
        const auto seconds = std::chrono::duration<double>(Clock::now() - started_).count();
        const auto totals = tree_->totals(tree_->root());
        char elapsed[32];
        std::snprintf(elapsed, sizeof elapsed, "%.2f s", seconds);
        measuredText_ = "measured " + grouped(totals.files + totals.folders) + " items in " + elapsed;
        shortMeasuredText_ = "measured";
        if (walk_->outcome() == SpaceTree::Outcome::failed) {
            measuredText_ = shortMeasuredText_ = "not measured";
            warn(tree_->rootPath().native() + " could not be read.");
        }
        if (const auto unreadable = walk_->coverage().unavailableCount(); unreadable > 0) {
            measuredText_ += ", " + grouped(unreadable) + " unreadable";
            shortMeasuredText_ += ", " + grouped(unreadable) + " unreadable";
        }
        if (!options_.exportFile.empty()) {
            if (const auto written = tree_->exportTo(options_.exportFile); written) {
                say("The measured tree is in " + options_.exportFile + ".");
            } else {
                warn("The measured tree could not be written to " + options_.exportFile + ": " + clause(written.error().description) + ".");
                exitCode_ = ExitCode::someFailed;
            }
        }
    }

    void startRemeasure() {
        freshPath_ = remeasureQueue_.front();
        remeasureQueue_.pop_front();
        freshTree_ = std::make_unique<SpaceTree>(freshPath_, tree_->options());
        freshWalk_ = std::make_unique<Measurement>(*freshTree_, wake());
    }

    void finishRemeasure() {
        const auto outcome = freshWalk_->outcome();
        freshWalk_.reset();
        const auto* target = tree_->find(freshPath_);
        if (outcome == SpaceTree::Outcome::failed || !target) {
            warn(freshPath_ + " could not be measured again.");
        } else {
            tree_->replace(*target, std::move(freshTree_));
            if (remeasureQueue_.empty()) say("Measured " + freshPath_ + " again.");
        }
        freshTree_.reset();
    }

    void stopEverything() {
        planStop_.request_stop();
        restoreStop_.request_stop();
        cancelClean_ = true;
        // Cleaning and putting back finish the item in hand; their results still count.
        if (cleanJob_.valid()) {
            const auto executed = cleanJob_.get();
            if (executed.result.succeeded > 0) lastSession_ = cleanSession_;
        }
        if (restoreJob_.valid()) restoreJob_.wait();
        if (planJob_.valid()) planJob_.wait();
        if (worker_.joinable()) worker_.join();
        freshWalk_.reset();
        walk_.reset();
    }

    // ---- Drawing ----

    // What runs, or how the tree was measured: in full, and short for a narrow screen.
    std::pair<std::string, std::string> progressText() const {
        if (mode_ == Mode::planning) return {"sizing the plan\u2026 (Ctrl-C stops)", "sizing\u2026"};
        if (mode_ == Mode::restoring) return {"putting items back\u2026", "restoring\u2026"};
        if (mode_ == Mode::cleaning) {
            std::lock_guard guard(progressMutex_);
            const auto done = std::to_string(cleanProgress_.completed) + " of " + std::to_string(cleanProgress_.total);
            return {"cleaning " + done + "\u2026", done};
        }
        if (freshWalk_) return {"measuring again\u2026", "measuring\u2026"};
        if (walk_ && !walk_->done()) {
            const auto items = grouped(static_cast<std::int64_t>(tree_->itemsSeen()));
            return {"measuring\u2026 " + items + " items", "measuring\u2026 " + items};
        }
        return {measuredText_, shortMeasuredText_};
    }

    void draw() {
        const auto [progress, shortProgress] = progressText();
        if (mode_ == Mode::page || mode_ == Mode::confirmingPlan || mode_ == Mode::confirmingRestore) {
            const auto rows = screen_.pageRows(page_.prompt);
            const auto length = screen_.pageLines(page_.lines).size();
            pageTop_ = length > rows ? std::min(pageTop_, length - rows) : 0;
            screen_.drawPage(page_.title, page_.lines, pageTop_, page_.prompt);
            return;
        }
        screen_.drawBrowser(model_, {progress, shortProgress, message_, messageIsWarning_});
    }

    void say(std::string text) {
        message_ = std::move(text);
        messageIsWarning_ = false;
    }
    void warn(std::string text) {
        message_ = std::move(text);
        messageIsWarning_ = true;
    }

    // ---- Keys ----

    void handle(int key) {
        message_.clear();
        switch (mode_) {
            case Mode::browsing: browse(key); break;
            case Mode::page:
            case Mode::confirmingPlan:
            case Mode::confirmingRestore: pageKey(key); break;
            case Mode::planning:
            case Mode::cleaning:
            case Mode::restoring:
                if (key == 'q' || key == Key::interrupt) {
                    planStop_.request_stop();
                    restoreStop_.request_stop();
                    cancelClean_ = true;
                    say("Stopping after the item in hand\u2026");
                }
                break;
        }
    }

    void browse(int key) {
        const auto page = static_cast<std::ptrdiff_t>(std::max<std::size_t>(screen_.listRows(), 1));
        switch (key) {
            case 'q': case Key::interrupt: quit_ = true; break;
            case Key::up: case 'k': model_.move(-1); break;
            case Key::down: case 'j': model_.move(1); break;
            case Key::pageUp: model_.move(-page); break;
            case Key::pageDown: model_.move(page); break;
            case Key::home: case 'g': model_.moveToEnd(false); break;
            case Key::end: case 'G': model_.moveToEnd(true); break;
            case Key::right: case Key::enter: case 'l':
                if (!model_.open()) {
                    if (const auto* row = model_.selectedRow(); row && row->otherFileSystem) warn("Another file system is mounted here; it was not measured.");
                }
                break;
            case Key::left: case Key::backspace: case 'h': case '<': model_.back(); break;
            case 's': model_.setOrder(SpaceTree::Order::size); break;
            case 'n': model_.setOrder(SpaceTree::Order::name); break;
            case 'c': case 'C': model_.setOrder(SpaceTree::Order::count); break;
            case 'a':
                model_.toggleApparent();
                say(model_.apparent() ? "Showing the files' lengths." : "Showing the space on disk.");
                break;
            case ' ': mark(); break;
            case 'd': startPlan(); break;
            case 'u': offerRestore(); break;
            case 'r': remeasure(); break;
            case '?':
                page_ = {"Keys of the space browser", helpLines, "Press any key to go back."};
                openPage(Mode::page);
                break;
            case Key::resize: break;
            default: say("Press ? for the keys."); break;
        }
    }

    void openPage(Mode mode) {
        mode_ = mode;
        pageTop_ = 0;
    }

    void pageKey(int key) {
        const auto rows = std::max<std::size_t>(screen_.pageRows(page_.prompt), 1);
        switch (key) {
            case Key::up: case 'k': if (pageTop_ > 0) --pageTop_; return;
            case Key::down: case 'j': ++pageTop_; return;
            case Key::pageUp: pageTop_ -= std::min(pageTop_, rows); return;
            case Key::pageDown: case ' ': pageTop_ += rows; return;
            case Key::home: pageTop_ = 0; return;
            case Key::end: pageTop_ = screen_.pageLines(page_.lines).size(); return;
            case Key::resize: return;
            default: break;
        }
        const bool yes = key == 'y' || key == 'Y';
        const Mode was = mode_;
        mode_ = Mode::browsing;
        if (was == Mode::confirmingPlan) {
            yes ? startClean() : say("Nothing was changed.");
        } else if (was == Mode::confirmingRestore) {
            yes ? startRestore() : say("Nothing was put back.");
        }
    }

    void mark() {
        std::string reason;
        switch (model_.toggleMark(reason)) {
            case BrowseModel::Marking::marked: model_.move(1); break;
            case BrowseModel::Marking::unmarked: break;
            case BrowseModel::Marking::refused: warn(reason.empty() ? "There is nothing here to mark." : reason); break;
        }
    }

    void remeasure() {
        if (!tree_->isComplete()) {
            warn("Measuring is still under way; press r again once it has finished.");
            return;
        }
        remeasureQueue_.push_back(model_.currentPath());
        say("Measuring " + model_.currentPath() + " again\u2026");
    }

    // ---- Cleaning: plan, question, run ----

    void startPlan() {
        if (const auto problem = ExclusionStore::shared().readProblem()) {
            warn("Nothing can be cleaned, because your exclusions cannot be read and cleaning could touch what you excluded: " + *problem + ".");
            return;
        }
        std::string reason;
        auto candidates = model_.cleaningCandidates(reason);
        if (candidates.empty()) {
            warn(reason);
            return;
        }
        planStop_ = std::stop_source();
        planJob_ = inBackground([candidates = std::move(candidates), stop = planStop_.get_token()] {
            ScanCoverageRecorder coverage;
            auto plan = Deleter::shared().preview(candidates, Deleter::Category::largeFile, &coverage, stop);
            return Planned{std::move(plan), coverage.snapshot(), stop.stop_requested()};
        });
        mode_ = Mode::planning;
    }

    void showPlan() {
        auto planned = planJob_.get();
        mode_ = Mode::browsing;
        if (planned.cancelled) {
            say("Stopped while sizing: nothing was changed.");
            return;
        }
        page_.title = "Plan: nothing moves before you press y";
        page_.lines = captured([&] { printPlan(planned.plan, Deleter::Mode::trash, planned.coverage); });
        if (planned.plan.items().empty()) {
            page_.prompt = "Nothing can be cleaned. Press any key to go back.";
            openPage(Mode::page);
            return;
        }
        const auto count = static_cast<std::int64_t>(planned.plan.items().size());
        page_.prompt = "Move " + countText(count, "item") + " to the Trash (" + ByteSizeFormatter::format(planned.plan.totalReclaimable()) +
                       ")? Press y to clean, any other key to go back.";
        plan_ = std::move(planned.plan);
        openPage(Mode::confirmingPlan);
    }

    void startClean() {
        cancelClean_ = false;
        cleanSession_ = Uuid();
        {
            std::lock_guard guard(progressMutex_);
            cleanProgress_ = {0, static_cast<std::int64_t>(plan_->items().size()), ""};
        }
        cleanJob_ = inBackground([this, plan = *plan_, session = cleanSession_] {
            auto& deleter = Deleter::shared();
            const auto progress = [this](const Deleter::Progress& report) {
                std::lock_guard guard(progressMutex_);
                cleanProgress_ = report;
            };
            auto result = deleter.execute(plan, Deleter::Mode::trash, false, "browse", session, progress,
                                          [this] { return cancelClean_.load(); });
            // Everything the run logged is on disk before it is reported as restorable.
            const bool written = deleter.opLog().flush();
            return Executed{std::move(result), written};
        });
        mode_ = Mode::cleaning;
    }

    void showCleanResult() {
        const auto executed = cleanJob_.get();
        const auto& result = executed.result;
        for (const auto& id : result.removedIDs) {
            const std::filesystem::path path(id);
            if (const auto* parent = tree_->find(path.parent_path().native())) tree_->remove(*parent, path.filename().native());
            model_.unmarkGone(id);
        }
        const bool logged = Deleter::shared().opLog().enabled() && executed.logWritten;
        if (result.failed > 0 || result.cancelled || !executed.logWritten) exitCode_ = ExitCode::someFailed;
        if (result.recoverable > 0 && logged) lastSession_ = cleanSession_;
        page_.title = "Cleaned";
        page_.lines = captured([&] {
            printResult(result, *plan_, logged ? std::optional(cleanSession_) : std::nullopt, executed.logWritten);
        });
        if (!executed.logWritten) {
            page_.lines.push_back("The operation log " + Deleter::shared().opLog().fileURL().native() +
                                  " could not be written, so this cleanup cannot be put back with restore.");
        }
        if (result.recoverable > 0 && logged) page_.lines.push_back("Press u in the browser to put these items back.");
        page_.prompt = "Press any key to go back to the folder.";
        plan_.reset();
        openPage(Mode::page);
        model_.refresh();
    }

    // ---- Putting back ----

    void offerRestore() {
        if (!lastSession_) {
            warn("Nothing cleaned from here can be put back; \u201Cvornelo-cli sessions\u201D lists earlier cleanups.");
            return;
        }
        auto& deleter = Deleter::shared();
        deleter.opLog().flush();
        std::optional<CleanupSession> session;
        for (auto& candidate : deleter.opLog().cleanupSessions(OperationLog::unlimited)) {
            if (candidate.id() == *lastSession_) session = std::move(candidate);
        }
        if (!session) {
            warn("The operation log no longer holds the last cleanup from here.");
            return;
        }
        restoreItems_ = CleanupRecovery::preview(*session, deleter);
        std::int64_t available = 0;
        page_.lines.clear();
        for (const auto& item : restoreItems_) {
            if (item.isAvailable()) ++available;
            page_.lines.push_back((item.isAvailable() ? "  available    " : "  unavailable  ") + displayed(item.entry.path()));
            if (item.unavailableReason) page_.lines.push_back("    " + *item.unavailableReason);
        }
        page_.lines.insert(page_.lines.begin(), std::to_string(available) + " of " +
                                                    countText(static_cast<std::int64_t>(restoreItems_.size()), "item") + " can be put back:");
        page_.title = "Put back the last cleanup";
        if (available == 0) {
            page_.prompt = "Nothing can be put back. Press any key to go back.";
            openPage(Mode::page);
            return;
        }
        page_.prompt = "Put " + countText(available, "item") + " back? Press y to put them back, any other key to go back.";
        openPage(Mode::confirmingRestore);
    }

    void startRestore() {
        restoreStop_ = std::stop_source();
        restoreJob_ = inBackground([items = restoreItems_, stop = restoreStop_.get_token()] {
            auto& deleter = Deleter::shared();
            auto results = CleanupRecovery::restore(items, deleter, stop).get();
            deleter.opLog().flush();
            return results;
        });
        mode_ = Mode::restoring;
    }

    void showRestoreResult() {
        const auto results = restoreJob_.get();
        page_.title = "Put back";
        page_.lines.clear();
        if (results.empty()) page_.lines.push_back("Nothing was put back.");
        for (const auto& result : results) {
            page_.lines.push_back((result.restored ? "Restored  " : "Not restored  ") + displayed(result.path) +
                                  (result.restored ? "" : ": " + result.message));
            if (!result.restored) exitCode_ = ExitCode::someFailed;
            // The folder it went back into is measured again, to show it.
            if (result.restored) {
                const auto folder = std::filesystem::path(result.path).parent_path().native();
                if (tree_->find(folder) && std::ranges::find(remeasureQueue_, folder) == remeasureQueue_.end()) {
                    remeasureQueue_.push_back(folder);
                }
            }
        }
        if (!results.empty() && std::ranges::all_of(results, &CleanupRecovery::Result::restored)) lastSession_.reset();
        page_.prompt = "Press any key to go back to the folder.";
        openPage(Mode::page);
    }

    BrowseScreen& screen_;
    const WakeUp wakeUp_;
    const BrowseOptions& options_;
    const platform::InterruptSignals& interrupts_;
    const Clock::time_point started_ = Clock::now();
    std::unique_ptr<SpaceTree> tree_;
    BrowseModel model_;
    int exitCode_ = ExitCode::success;
    bool quit_ = false;

    Mode mode_ = Mode::browsing;
    struct Page {
        std::string title;
        std::vector<std::string> lines;
        std::string prompt;
    } page_;
    std::size_t pageTop_ = 0;
    std::string message_;
    bool messageIsWarning_ = false;
    std::string measuredText_;
    std::string shortMeasuredText_;
    bool walkReported_ = false;

    std::stop_source planStop_;
    std::future<Planned> planJob_;
    std::optional<Deleter::Plan> plan_;
    Uuid cleanSession_;
    std::atomic<bool> cancelClean_{false};
    mutable std::mutex progressMutex_;
    Deleter::Progress cleanProgress_;
    std::future<Executed> cleanJob_;
    std::optional<Uuid> lastSession_;
    std::vector<CleanupRecovery::Item> restoreItems_;
    std::stop_source restoreStop_;
    std::future<std::vector<CleanupRecovery::Result>> restoreJob_;

    std::deque<std::string> remeasureQueue_;
    std::string freshPath_;
    std::unique_ptr<SpaceTree> freshTree_;
    // The threads last, so that they are stopped and joined before what they use goes.
    std::jthread worker_;
    std::unique_ptr<Measurement> walk_;
    std::unique_ptr<Measurement> freshWalk_;
};

void runBrowse(const BrowseOptions& options, Context& context) {
    if (!options.importFile.empty() && !options.path.empty()) {
        printError("Give a folder to measure or a file to import, not both.");
        context.noteFailure(ExitCode::badUsage);
        return;
    }
    std::unique_ptr<SpaceTree> tree;
    const bool importing = !options.importFile.empty();
    if (importing) {
        auto imported = SpaceTree::importFrom(options.importFile);
        if (!imported) {
            printError(imported.error());
            context.noteFailure();
            return;
        }
        tree = std::move(*imported);
    } else {
        const auto url = platform::FileManager::absoluteStandardizedPath(options.path.empty() ? "." : options.path);
        const auto attributes = platform::FileManager::defaultManager().attributesOfItem(url);
        if (!attributes || attributes->type != platform::FileType::directory) {
            const bool link = attributes && attributes->type == platform::FileType::symbolicLink;
            printError(url + (!attributes ? " cannot be read: " + clause(attributes.error().description) + "."
                              : link      ? " is a symbolic link; give the folder it leads to."
                                          : " is not a folder."));
            context.noteFailure(ExitCode::badUsage);
            return;
        }
        tree = std::make_unique<SpaceTree>(url);
    }
    // Before the screen and the walk's threads, so that every thread leaves the signals to it.
    const platform::InterruptSignals interrupts;
    auto screen = BrowseScreen::open();
    if (!screen) {
        printError(screen.error());
        context.noteFailure(ExitCode::badUsage);
        return;
    }
    Browser browser(**screen, std::move(tree), !importing, options, interrupts);
    context.noteFailure(browser.run());
    screen->reset();
    browser.farewell();
}

}  // namespace

void addBrowseCommands(CLI::App& app, Context& context) {
    auto options = std::make_shared<BrowseOptions>();
    auto* browse = app.add_subcommand(
        "browse", "Look around where the space below a folder went, on a full screen: folders and files by size with "
                  "bars, measured in the background; mark items and clean them into the Trash after seeing the plan, "
                  "and put them back from there. Protected items cannot be marked");
    browse->add_option("PATH", options->path, "The folder to measure (default: the current folder)");
    browse->add_option("--import", options->importFile, "Show a tree measured earlier with size --export instead")->type_name("FILE");
    browse->add_option("--export", options->exportFile, "Also write the measured tree to FILE once measuring has finished")->type_name("FILE");
    browse->footer("Press ? in the browser for its keys. Needs a terminal; colours only where it has them, and never with NO_COLOR "
                   "set. Exit code 1 when an item could not be cleaned or put back.");
    browse->callback([options, &context] { runBrowse(*options, context); });
}

}  // namespace vornelo::cli
