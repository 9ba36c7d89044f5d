#pragma once
// A pseudo-terminal pair for tests: the master side plays the meter, the slave's path is the
// port name the program opens.

#include <cstdint>
#include <string>
#include <vector>

namespace lumo::test {

class PtyPair {
public:
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    const std::string& slavePath() const { return slavePath_; }
    int master() const { return master_; }

    // Writes bytes to the program's side.
    void send(const std::vector<std::uint8_t>& bytes);
    // Reads what the program wrote, waiting at most `timeoutMs` for `count` bytes.
    std::vector<std::uint8_t> receive(size_t count, int timeoutMs = 2000);
    // Closes the master side: the device went away.
    void hangUp();

private:
    int master_ = -1;
    std::string slavePath_;
};

}  // namespace lumo::test
