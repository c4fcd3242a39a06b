// A lazy result with a posting bracket opened around the start of an
// operation.
//
// A completion that arrives while the bracket is open is held back and run
// by FinishPostingAsyncOp, so the callback and Cleanup run once whether the
// operation completes inside the bracket (on this thread or another) or
// after it.
#pragma once
#include <atomic>
#include <cstdint>

#include "RozavUde/LazyAsyncResult.h"

namespace System::Net {

class TContextAwareResult : public TLazyAsyncResult {
public:
    static constexpr std::uint32_t PostStarted = 0x08;
    static constexpr std::uint32_t PostFinished = 0x10;

    TContextAwareResult(const gc_ptr<TObject> owner, const gc_ptr<TObject> state,
                        MulticastDelegate<TIocpCompletionEvent> callback);

    void StartPostingAsyncOp() noexcept { flags.fetch_or(PostStarted, std::memory_order_acq_rel); }
    // Closes the bracket; true when the operation completed synchronously
    // inside it (its completion has then run here).
    bool FinishPostingAsyncOp();
    std::uint32_t GetFlags() const noexcept { return flags.load(std::memory_order_acquire) & (PostStarted | PostFinished); }

    void Completed() override;

private:
    // A completion held back while the bracket was open.
    static constexpr std::uint32_t CompletionDeferred = 0x100;
    std::atomic<std::uint32_t> flags{0};
};

} // namespace System::Net
