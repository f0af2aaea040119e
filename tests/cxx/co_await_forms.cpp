// Minimal reproducer of the g++ 12 fault the `co_await` coding rule avoids
// (frame/body.h): a `co_await` inside a brace-init list destroys the awaited
// temporary's result twice. Counted objects make the fault visible without
// the interpreter: built with -fsanitize=address, or run plainly, the program
// exits non-zero when a destructor runs more often than a constructor.
// tests/test_source_rules.py builds and runs it; on compilers without the
// fault it passes, so the rule is kept for the compilers that have it.
#include <coroutine>
#include <cstdio>
#include <utility>

namespace {

int live = 0;  // constructed minus destroyed Counted objects

struct Counted {
    int value;
    explicit Counted(int v) : value(v) { ++live; }
    Counted(const Counted& other) : value(other.value) { ++live; }
    Counted(Counted&& other) noexcept : value(other.value) { ++live; }
    ~Counted() { --live; }
};

struct Task {
    struct promise_type {
        Task get_return_object() { return {std::coroutine_handle<promise_type>::from_promise(*this)}; }
        std::suspend_never initial_suspend() noexcept { return {}; }
        std::suspend_always final_suspend() noexcept { return {}; }
        void return_void() {}
        void unhandled_exception() {}
    };
    std::coroutine_handle<promise_type> handle;
};

// Suspends once, then produces a Counted.
struct Awaitable {
    int value;
    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<>) const noexcept {}
    Counted await_resume() const { return Counted(value); }
};

std::coroutine_handle<> suspended;
struct Suspending : Awaitable {
    void await_suspend(std::coroutine_handle<> h) const noexcept { suspended = h; }
};

int total = 0;

struct Pair {
    Counted first;
    Counted second;
};

// The forbidden form: `co_await` inside an aggregate's brace initializer.
Task braces() {
    Pair pair{co_await Suspending{{1}}, co_await Suspending{{2}}};
    total += pair.first.value + pair.second.value;
}

// The allowed form: each `co_await` initializes a named variable.
Task named() {
    Counted first = co_await Suspending{{1}};
    Counted second = co_await Suspending{{2}};
    total += first.value + second.value;
}

bool run(Task (*body)(), const char* name) {
    live = 0;
    total = 0;
    Task task = body();
    while (!task.handle.done()) suspended.resume();
    task.handle.destroy();
    const bool ok = live == 0 && total == 3;
    std::printf("%s: live=%d total=%d %s\n", name, live, total, ok ? "ok" : "MISCOMPILED");
    return ok;
}

}  // namespace

int main(int argc, char**) {
    const bool named_ok = run(named, "named");
    const bool braces_ok = run(braces, "braces");
    // Exit status: 0 all correct, 1 only the forbidden form is wrong (the
    // compiler fault the rule avoids), 2 the allowed form is wrong too.
    if (!named_ok) return 2;
    return braces_ok || argc > 1 ? 0 : 1;
}
