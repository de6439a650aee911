#pragma once
// The far end of a pseudo-terminal, played by a test. Either driven by the test itself (Send,
// Receive on the master), or served: registered as COMn in the port directory, a thread records
// what the host writes, answers XON, writes what the test gives it and can stream.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace kivra::test {

class PtyPeer {
public:
    enum class XOnReply { First, Every };

    //! A pair the test drives: the port opens Path(), the test plays the master (non-blocking).
    PtyPeer();
    //! A served pair in raw mode, registered as COMn: replyToXOn goes out after the first XON the
    //! host writes, or after every one. Throws std::runtime_error when it cannot be set up.
    PtyPeer(int comPort, std::string replyToXOn, XOnReply when = XOnReply::First);
    ~PtyPeer();
    PtyPeer(const PtyPeer&) = delete;
    PtyPeer& operator=(const PtyPeer&) = delete;

    //! The slave device.
    const std::string& Path() const { return path_; }
    //! The master; -1 once unplugged. Only for a pair the test drives.
    int Master() const { return master_; }

    // A pair the test drives.
    void Send(const std::string& bytes);
    //! Reads from the master until `count` bytes came or the timeout passed, running the Qt
    //! event loop meanwhile (the port may finish writes from it).
    std::string Receive(std::size_t count,
                        std::chrono::milliseconds timeout = std::chrono::milliseconds(3000));

    // A served pair.
    //! Queued; the thread writes it whole, before any streamed chunk.
    void Write(std::string_view bytes);
    //! Writes chunk every period until StopStream; a chunk that does not fit is dropped, so that
    //! a host that stopped reading never blocks the peer.
    void StartStream(std::string chunk, std::chrono::milliseconds period);
    void StopStream();
    //! Every byte the host wrote so far.
    std::string Received() const;
    void ClearReceived();

    //! Closes the far end: the line goes away as when the device is unplugged.
    void Unplug();

private:
    void Run();
    void CloseAll();

    bool served_ = false;
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
    std::string link_;
    std::string reply_;
    XOnReply when_ = XOnReply::First;
    bool replied_ = false;
    mutable std::mutex mutex_; // guards what follows, shared with the thread
    std::string received_;
    std::string pendingWrite_;
    std::string streamChunk_;
    std::chrono::milliseconds streamPeriod_{0};
    std::atomic<bool> unplug_{false};
    std::atomic<bool> stop_{false};
    std::thread thread_; // of a served pair; the only one to touch the descriptors then
};

} // namespace kivra::test
