#pragma once
// A scripted far end of a pseudo-terminal, registered as COMn in the port directory: it answers
// the first XON with a fixed reply, records what the host writes and can stream or hang up.

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace kivra::test {

class PtyPeer {
public:
    PtyPeer(int comPort, std::string replyToXOn);
    ~PtyPeer();
    PtyPeer(const PtyPeer&) = delete;
    PtyPeer& operator=(const PtyPeer&) = delete;

    void Write(std::string_view bytes);
    //! Writes chunk every period until StopStream.
    void StartStream(std::string chunk, std::chrono::milliseconds period);
    void StopStream();
    //! Closes the far end: the line goes away as when the device is unplugged.
    void Unplug();
    //! Every byte the host wrote so far.
    std::string Received() const;

private:
    void Run();

    int master_ = -1;
    int slave_ = -1;
    std::string link_;
    std::string reply_;
    bool replied_ = false;
    mutable std::mutex mutex_;
    std::string received_;
    std::string pendingWrite_;
    std::string streamChunk_;
    std::chrono::milliseconds streamPeriod_{0};
    std::atomic<bool> unplug_{false};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

} // namespace kivra::test
