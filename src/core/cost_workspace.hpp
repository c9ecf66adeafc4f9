#pragma once
// The cost model's workspace: the buffers one evaluation prices in (a block of periods at a
// time, carried through the models), and the workspace a thread keeps and lends from call
// to call. An evaluation allocates nothing once its workspace has been used for a portfolio
// as large; every concurrent caller needs its own.

#include <cstddef>
#include <memory>
#include <vector>

#include "core/array.hpp"

namespace velmar {

class CostWorkspace {
public:
    CostWorkspace() = default;
    CostWorkspace(std::size_t n_kinds, std::size_t n_models) { fit(n_kinds, n_models); }

    // Grows the buffers when a larger portfolio comes along; never shrinks them.
    void fit(std::size_t n_kinds, std::size_t n_models);

    static constexpr std::size_t block = 512;  // periods per pass, small enough for L1

    // Periods [begin, begin + length) of one pass. Block edges are cut at every expiry, so a
    // commitment is in force in the whole block or in none of it.
    struct Block {
        std::size_t begin;
        std::size_t length;
    };
    std::vector<Block> blocks;  // the blocks of the pass under way

    std::vector<double> uncovered;        // block: uncovered usage of one kind
    std::vector<double> reserved;         // block: reserved units of one kind per period
    std::vector<double> kind_units;       // n_kinds: the first reservation's units of each kind
    std::vector<double> model_units;      // n_models x n_kinds: other reservations' units (rows at once)
    std::vector<double> kind_lanes;       // n_kinds x 8: on-demand payments (rows at once)
    std::vector<double> kind_rates;       // 3 x n_kinds: savings-plan and on-demand prices (rows at once)
    std::vector<double> budgets;          // n_models x block: savings-plan money left per period
    std::vector<double> per_model;        // n_models x n_kinds: sums kept per model and kind
    std::vector<double> per_model_total;  // n_models
    std::vector<char> spent;              // n_models: every budget of the block is zero
    std::vector<View2> block_levels;      // n_models: levels in force, viewed from the block start
    View2 shared_levels;                  // the models' row-major levels side by side, if they are
    // A reservation's payment over a block when it is the same in every period: the sum of
    // `length` copies of `term`, kept per model and kind (n_models x n_kinds).
    struct ConstantSum {
        std::size_t length = 0;
        double term = 0.0;
        double sum = 0.0;
    };
    std::vector<ConstantSum> constant_sums;
    // Row-major inputs copied a block at a time into contiguous columns; the pitch keeps
    // the columns off the same cache sets.
    static constexpr std::size_t staging_pitch = block + 8;
    std::vector<double> staging;

    // A large cost is priced on the worker pool, blocks split among the workers and their
    // payments summed in block order (the same bits as one thread). Only the calls of the
    // operations set this: a search's evaluations run on workers of their own.
    bool split_over_threads = false;
};

// A workspace a thread keeps from call to call, so that a call allocates nothing once one
// as large has run, and whether it is lent out.
struct KeptWorkspace {
    CostWorkspace ws;
    bool lent = false;
};

// Lends `kept` to one evaluation, or a fresh workspace when `kept` is lent already: a call
// nested in another on the same thread (run by a signal handler while the outer call polls
// for interrupts) must not price in the outer call's workspace.
class WorkspaceLoan {
public:
    WorkspaceLoan(KeptWorkspace& kept, bool split_over_threads);
    ~WorkspaceLoan();
    WorkspaceLoan(const WorkspaceLoan&) = delete;
    WorkspaceLoan& operator=(const WorkspaceLoan&) = delete;

    CostWorkspace& operator*() const { return *ws_; }

private:
    KeptWorkspace* kept_;  // null when the loan is a fresh workspace
    std::unique_ptr<CostWorkspace> fresh_;
    CostWorkspace* ws_;
};

// This thread's workspace for evaluations called one at a time (not a search's); it splits
// a large cost over the worker pool.
WorkspaceLoan call_workspace();

}  // namespace velmar
