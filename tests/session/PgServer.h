#pragma once
// A throw-away PostgreSQL server for tests: initdb in a temporary directory, listening only on a
// unix socket there. PostgreSQL refuses to run as root, so as root the server runs as the
// "postgres" system user.

#include <QString>

namespace kivra::test {

class TPgServer {
public:
    TPgServer() = default;
    ~TPgServer();
    TPgServer(const TPgServer&) = delete;
    TPgServer& operator=(const TPgServer&) = delete;

    //! Creates the cluster and starts the server; false with Error() when it cannot.
    bool Create();
    bool Start();
    //! Stops the server (fast shutdown: connected clients are cut off).
    bool Stop();
    //! Freezes (SIGSTOP) or thaws (SIGCONT) the server and its backends: a server that hangs.
    bool Freeze(bool frozen);
    QString Error() const { return error_; }

    //! Creates an empty database and returns its location text for the store (empty on failure).
    QString NewDatabase(const QString& name);
    QString Url(const QString& database) const;

private:
    bool Run(const QString& program, const QStringList& args, int timeoutMs);

    QString bin_, dir_, error_;
    bool running_ = false;
};

} // namespace kivra::test
