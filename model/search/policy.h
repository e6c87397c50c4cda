// Every threshold of the winner search and of the drivers' use of it, in one
// place. None of them changes a result: each only decides how the same
// winners are found (which nodes are sized, when the groups are made or
// trusted, how work is shared, how many patterns are searched at once), so
// each may be tuned on its own. Work is counted in nodes sized.
#ifndef QUORV_MODEL_SEARCH_POLICY_H
#define QUORV_MODEL_SEARCH_POLICY_H

#include <cstdint>

namespace search_policy {

// The block's search of one pattern (search_winner).
// Below this many nodes each is joined in turn: a few nodes are joined sooner
// than searched and then joined again.
constexpr int kSearchMinNodes = 4;

// Grouping: when it is made.
// Below this many nodes the groups are not worth making: a flat pass is short.
constexpr int kGroupMinNodes = 128;
// A batch is grouped first when it has at least this many patterns per level
// of the k-d split: grouping costs about ten flat searches per level, and pays
// back less than one search per pattern where the groups prune well.
constexpr int kPatternsPerGroupLevel = 64;
// Training regroups once the nodes sized outside the groups since the last
// regroup reach this many times the node count (a regroup costs about a dozen
// flat searches).
constexpr std::int64_t kRegroupWork = 16;
// Where the groups did not pay, the next regroup waits this many times longer,
// up to kRegroupWorkMost times the node count.
constexpr std::int64_t kRegroupBackoff = 4;
constexpr std::int64_t kRegroupWorkMost = 1024;

// Grouping: whether it pays.
// The groups are judged after this many searches of training...
constexpr std::int64_t kTrialSearches = 64;
// ...and kept while they do less than 1 / kPayingShare of the work of sizing
// every node: the flat kernels size every node but take several patterns per
// pass, so the groups must leave most of the work undone to pay.
constexpr std::int64_t kPayingShare = 3;
// A tile of group or tile bounds counts as this many nodes sized (three rows
// per feature against two, and the sorting that follows).
constexpr std::int64_t kBoundWork = 12;
// The pruned search of one pattern sizes the tiles of a group it cannot rule
// out this many at a time: enough sums in flight to keep the kernel busy,
// few enough that a tile the first ones rule out is seldom sized in vain.
constexpr int kPrunedTilesAtOnce = 2;
// A batch probes the groups on up to this many patterns before it trusts them.
constexpr int kProbePatterns = 32;
// A batch searched with the groups goes in runs of this many patterns; a run
// where they did not pay sends the next kFlatRunsAfterMiss runs to the flat
// kernels before the groups are tried again.
constexpr int kGroupedRun = 64;
constexpr int kFlatRunsAfterMiss = 32;

// A batch orders its patterns while its nodes are grouped only where that
// takes less time: both are k-d splits, the nodes' of twice the features, so
// a node weighs this many patterns.
constexpr double kNodeSplitWeight = 2.0;

// Nodes grouped by label start each label at a whole group, leaving slots
// empty: only where that leaves at most 1 / kLabelRunSlack of them empty.
constexpr int kLabelRunSlack = 8;

// The k-d split.
// The widest feature of a large range is judged on a sample of about this
// many nodes: which feature splits changes only how well the groups prune.
constexpr int kSpreadSample = 8;
// Ranges of no more than this many times kSpreadSample nodes are judged on
// every node: sampling them would save little.
constexpr int kSampledRangesFrom = 2;
// The spread is measured this many features per pass over the points, each
// point read as one run (the SSE2 pass holds them in four registers).
constexpr int kSpreadFeaturesPerPass = 8;
// A regroup is cut into at most this many parts at its first splits, so that
// threads waiting on it can take some.
constexpr int kRegroupParts = 4;

// Remembered searches (training).
// A pattern's search replays the changes since its last search only while
// they are fewer than this share of the nodes (1 / kReplayShare); past that a
// search over all nodes costs less.
constexpr int kReplayShare = 4;
// The log of changes has room for kLogPerPattern changes per pattern and
// kLogSlack more. Training makes at most one change per pattern between two
// searches of one pattern (each search is followed by at most one); the room
// beyond that only spares a replay from searching afresh where a caller
// changes more.
constexpr int kLogPerPattern = 2;
constexpr int kLogSlack = 64;
// Most doubles kept of the boxes changed between two searches (128 MB).
constexpr std::uint64_t kJournalDoubles = std::uint64_t{1} << 24;

// Threads.
// Join elements (nodes x features x patterns) that pay for a thread's start,
// about a millisecond of work.
constexpr double kThreadWork = 2e6;
// Most workers a team starts: one thread per core of the largest processor
// groups, the rest would only wait on the same cores.
constexpr int kMostWorkers = 63;
// A team's worker spins this many microseconds before it sleeps: about what a
// caller spends between making the team and its first run, or between two
// runs, while a sleeping thread can take as long again to wake...
constexpr int kSpinMicroseconds = 300;
// ...and reads the clock only every kSpinsPerClockRead spins, as a clock read
// costs more than a spin.
constexpr int kSpinsPerClockRead = 64;
// Each thread takes several runs with the groups, so that threads the
// machine slows do not hold the others up: up to kTasksPerThread runs per
// thread, kMostTasks in all, each long enough to order its patterns.
constexpr int kTasksPerThread = 4;
constexpr int kMostTasks = 256;
constexpr int kShortestGroupedRun = 512;
// Runs taken from a batch shared among threads are 1 / (kRunsPerThreadOfRest
// * threads) of the patterns left, within the shortest and longest of their
// kind: each thread can take about that many more, so runs shrink towards the
// end and the threads finish together.
constexpr int kRunsPerThreadOfRest = 2;
// Flat runs shrink to no less than a whole register tile of patterns.
constexpr int kShortestFlatRun = 4;
// While one thread groups the nodes, the others take short flat runs from the
// back, so that they soon learn whether the groups pay; then long ones.
constexpr int kRunWhileGrouping = 16;
constexpr int kFlatRunDecided = 256;
constexpr int kGroupedRunDecided = 512;
constexpr int kLeastGroupedRun = 64;

// The flat classification kernel.
// A batch of patterns of about this many doubles (8 KB) stays in the
// first-level cache beside the tiles it passes over, so that each tile,
// loaded once, serves the whole batch; at most kFlatBatchMost patterns.
constexpr int kFlatBatchDoubles = 1024;
constexpr int kFlatBatchMost = 64;

// The classification driver.
// Below this many template values (nodes x features) the nodes are made on
// the calling thread: fewer allocations and copies take less than a thread's
// start.
constexpr double kThreadedNodeValues = 1 << 16;
// Nodes made on several threads go in up to this many runs per thread, so
// that a thread the machine slows holds the others up by little.
constexpr int kNodeRunsPerThread = 4;
// Nodes never change while classifying: the winners of this many patterns are
// searched together (shared among threads), then their console lines are
// printed in order; a window's winners and sizes are 96 KB.
constexpr int kClassifyWindow = 8192;

}  // namespace search_policy

#endif
