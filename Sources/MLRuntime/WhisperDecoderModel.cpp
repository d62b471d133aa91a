// The whisper-decoder kind as a model.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "MLRuntime/Error.hpp"
#include "MLRuntime/ModelFile.hpp"
#include "MLRuntime/WhisperDecoder.hpp"
#include "MLRuntime/WhisperDecoderInputs.hpp"
#include "MLRuntime/WhisperModels.hpp"

namespace mlruntime::whisper {

namespace {

// Contexts a model keeps: one per decoding loop running at once, so that concurrent loops never
// recompute each other's cross-attention keys and values, up to about this much memory (at least
// two contexts, at most MAX_CONTEXTS). Loops beyond that share the contexts, at the cost of
// recomputing the keys and values when a context changes hands.
constexpr size_t CONTEXT_MEMORY = size_t{1} << 30;
constexpr size_t MAX_CONTEXTS = 8;

class WhisperDecoderModel : public Model {
public:
    WhisperDecoderModel(const DecoderConfig& config, const WeightsFile& file, ComputeUnits units)
        : Model(units), description_(decoderDescription(config)), decoder_(config, file) {
        contexts_.push_back({decoder_.makeContext(), false, {}, {}, {}});
        maxContexts_ = std::clamp<size_t>(CONTEXT_MEMORY / std::max<size_t>(1, contexts_.front().context->bytes()), 2,
                                          MAX_CONTEXTS);
    }

    const ModelDescription& description() const override { return description_; }

    std::shared_ptr<FeatureProvider> predict(const FeatureProvider& inputs) const override {
        DecoderInputs parsed(decoder_.config(), description_, inputs);
        Slot& slot = take();
        struct Give {
            const WhisperDecoderModel* model;
            Slot* slot;
            ~Give() { model->giveBack(*slot); }
        } give{this, &slot};
        DecoderStepOutput& output = slot.output;
        {
            // A one-token step is bound by memory bandwidth, which half the cores (at least four)
            // nearly saturate; more only add synchronisation, and a thread that another process
            // preempts then stalls every one of the step's many short loops. Loops running at once
            // share the budget evenly (see ThreadBudget).
            auto& budget = ThreadBudget::shared();
            auto lease = budget.acquire(std::max(4, budget.capacity() / 2));
            decoder_.setEncoderOutput(lease, *slot.context, parsed.encoder);
            decoder_.step(lease, *slot.context, parsed.stepInput(), output);
        }
        return decoderOutputs(decoder_.config(), output);
    }

private:
    using Clock = std::chrono::steady_clock;

    struct Slot {
        std::unique_ptr<WhisperDecoder::Context> context;
        bool busy = false;
        std::thread::id lastUser;  // the thread of the last step: a decoding loop runs on one thread
        Clock::time_point lastUse;
        DecoderStepOutput output;
    };

    // A free context for the calling thread's step: the one its previous step used (it holds that
    // loop's cross-attention keys and values), else one idle for IDLE_CONTEXT (its loop is over or
    // between windows), else a new one while there are fewer than maxContexts_, else the free one
    // used longest ago. Waits while every context is busy. Contents are compared outside the lock,
    // in setEncoderOutput.
    Slot& take() const {
        static constexpr auto IDLE_CONTEXT = std::chrono::milliseconds(200);
        const auto self = std::this_thread::get_id();
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            Slot* own = nullptr;
            Slot* oldestFree = nullptr;
            for (auto& slot : contexts_) {
                if (slot.busy) continue;
                if (slot.lastUser == self && (own == nullptr || slot.lastUse > own->lastUse)) own = &slot;
                if (oldestFree == nullptr || slot.lastUse < oldestFree->lastUse) oldestFree = &slot;
            }
            Slot* chosen = own;
            if (chosen == nullptr && oldestFree != nullptr && Clock::now() - oldestFree->lastUse >= IDLE_CONTEXT)
                chosen = oldestFree;
            if (chosen == nullptr && contexts_.size() < maxContexts_) {
                contexts_.push_back({decoder_.makeContext(), false, {}, {}, {}});
                chosen = &contexts_.back();
            }
            if (chosen == nullptr) chosen = oldestFree;
            if (chosen != nullptr) {
                chosen->busy = true;
                return *chosen;
            }
            freed_.wait(lock);
        }
    }

    void giveBack(Slot& slot) const {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            slot.busy = false;
            slot.lastUser = std::this_thread::get_id();
            slot.lastUse = Clock::now();
        }
        freed_.notify_one();
    }

    ModelDescription description_;
    WhisperDecoder decoder_;
    size_t maxContexts_ = 2;
    mutable std::mutex mutex_;
    mutable std::condition_variable freed_;
    mutable std::deque<Slot> contexts_;  // guarded by mutex_; a deque keeps slots in place as it grows
};

}  // namespace

}  // namespace mlruntime::whisper

namespace mlruntime {

std::shared_ptr<Model> makeWhisperDecoderModel(ModelFile& file, ComputeUnits computeUnits) {
    auto config = whisper::decoderConfig(file);
    file.checkDescription(whisper::decoderDescription(config));
    auto model = std::make_shared<whisper::WhisperDecoderModel>(config, file.weights(), computeUnits);
    file.closeWeights();
    return model;
}

}  // namespace mlruntime
