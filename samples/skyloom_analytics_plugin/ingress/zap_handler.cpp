#include "zap_handler.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <exception>
#include <optional>
#include <vector>

#include "common/monitor_event.h"

namespace nx::vms_server_plugins::analytics::sample {

namespace {

constexpr char kZapFunc[] = "threadFuncZap";
constexpr char kRefusedLine[] = "threadFuncZap refused: ";
constexpr char kZapEndpoint[] = "inproc://zeromq.zap.01";
constexpr char kUnknownAddress[] = "unknown address";

/** The numeric address of a connected socket's peer; empty if it is gone already. */
std::string peerAddressOf(int fd)
{
    sockaddr_storage address{};
    socklen_t length = sizeof(address);
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return {};
    char text[INET6_ADDRSTRLEN] = {};
    const void* bytes = address.ss_family == AF_INET6
        ? static_cast<const void*>(&reinterpret_cast<const sockaddr_in6*>(&address)->sin6_addr)
        : static_cast<const void*>(&reinterpret_cast<const sockaddr_in*>(&address)->sin_addr);
    if (inet_ntop(address.ss_family, bytes, text, sizeof(text)) == nullptr)
        return {};
    return text;
}

std::string toString(const zmq::message_t& message)
{
    return std::string(static_cast<const char*>(message.data()), message.size());
}

} // namespace

ZapHandler::ZapHandler(zmq::context_t& context, const std::string& monitorEndpoint,
    PolicySource policySource, IngressSink& sink, const nx::sdk::LogUtils& logUtils)
    :
    m_sink(sink),
    m_policySource(std::move(policySource)),
    m_zap(context, zmq::socket_type::rep),
    m_monitor(context, zmq::socket_type::pair),
    m_log(logUtils)
{
    m_zap.set(zmq::sockopt::linger, 0);
    m_monitor.set(zmq::sockopt::linger, 0);
    // No event may be dropped: a connection whose end went untold would stay counted against
    // its address's cap for ever.
    m_monitor.set(zmq::sockopt::rcvhwm, 0);
    m_zap.bind(kZapEndpoint);
    m_monitor.connect(monitorEndpoint);
    m_thread = std::thread([this]() { threadFuncZap(); });
}

ZapHandler::~ZapHandler()
{
    m_stop = true;
    m_wakeup.notify();
    m_thread.join();
    for (const auto& [fd, duplicate]: m_watched)
        ::close(duplicate);
    // A closed socket leaves its inproc endpoint to libzmq's reaper thread: the handler of the
    // listener that replaces this one, at once, would find the endpoint still taken.
    try
    {
        m_zap.unbind(kZapEndpoint);
    }
    catch (const zmq::error_t&)
    {
    }
}

void ZapHandler::threadFuncZap()
{
    while (!m_stop)
    {
        // Nothing may leave the thread; a failing pass is logged (held to a rate) and retried.
        try
        {
            zmq::pollitem_t items[] = {
                {m_monitor.handle(), 0, ZMQ_POLLIN, 0},
                {m_zap.handle(), 0, ZMQ_POLLIN, 0},
                {nullptr, m_wakeup.fd(), ZMQ_POLLIN, 0},
            };
            if (zmq_poll(items, 3, pollTimeoutMs()) < 0)
            {
                if (zmq_errno() != EINTR)
                {
                    m_log.write(kZapFunc, " poll Error: ", zmq_strerror(zmq_errno()));
                    if (m_wakeup.waitFor(std::chrono::milliseconds(50)))
                        m_wakeup.consume();
                }
                continue;
            }
            if (items[2].revents & ZMQ_POLLIN)
                m_wakeup.consume();
            // The monitor first: a connection's ACCEPTED event comes before its ZAP request.
            if (items[0].revents & ZMQ_POLLIN)
                readMonitor();
            if (items[1].revents & ZMQ_POLLIN)
                answerRequest();
            hangUpDue(Clock::now());
        }
        catch (const std::exception& e)
        {
            m_log.write(kZapFunc, " exception: ", e.what());
        }
        catch (...)
        {
            // A callback's own exception type: the thread goes on all the same.
            m_log.write(kZapFunc, " exception: ", "unknown");
        }
    }
}

long ZapHandler::pollTimeoutMs() const
{
    if (m_dueHangUps.empty())
        return -1;
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(
        m_dueHangUps.front().at - Clock::now());
    return std::max<long>(0, static_cast<long>(wait.count()));
}

void ZapHandler::readMonitor()
{
    for (;;)
    {
        const std::optional<MonitorEvent> event = receiveMonitorEvent(m_monitor);
        if (!event)
            return;
        const int fd = static_cast<int>(event->value);

        switch (event->kind)
        {
            case ZMQ_EVENT_ACCEPTED:
                accepted(fd);
                break;
            case ZMQ_EVENT_DISCONNECTED:
                ended(fd);
                break;
            case ZMQ_EVENT_HANDSHAKE_FAILED_NO_DETAIL:
            case ZMQ_EVENT_HANDSHAKE_FAILED_PROTOCOL:
                m_handshakeFailed = true;
                break;
            default:
                break;
        }
    }
}

/**
 * A new connection, counted and judged by what is known before its handshake: one that the
 * allow-list or the caps refuse is hung up now, while the descriptor is surely this connection's.
 */
void ZapHandler::accepted(int fd)
{
    // Read now, while the descriptor is open; a peer gone already counts as unknown until its
    // DISCONNECTED event.
    std::string address = peerAddressOf(fd);
    const bool known = !address.empty();
    if (!known)
        address = kUnknownAddress;
    forget(fd); //< A connection on this descriptor before, whose end was never told.
    ++m_connectionsOfPeer[address];
    ++m_connections;
    Connection& connection = m_connectionOfDescriptor[fd];
    connection.address = address;
    connection.arrival = ++m_arrivals;
    if (!known)
        return;
    if (const char* const reason = refusalOnArrival(address))
    {
        connection.state = Connection::State::refused;
        hangUp(fd);
        tellRefused(address, reason);
    }
}

const char* ZapHandler::refusalOnArrival(const std::string& address) const
{
    const auto count = m_connectionsOfPeer.find(address);
    if ((count != m_connectionsOfPeer.end() && count->second > kMaxConnectionsPerAddress)
        || m_connections > kMaxConnections)
    {
        return kRefusedConnections;
    }
    const std::shared_ptr<const IngressPolicy> policy = m_policySource();
    if (policy && !policy->allowedAddresses.empty()
        && !addressInRanges(policy->allowedAddresses, address))
    {
        return kRefusedAddress;
    }
    return nullptr;
}

void ZapHandler::ended(int fd)
{
    const auto found = m_connectionOfDescriptor.find(fd);
    const bool known = found != m_connectionOfDescriptor.end();
    const std::string address = known ? found->second.address : kUnknownAddress;
    const Connection::State state = known ? found->second.state : Connection::State::judging;
    const bool unread = closedUnread(fd);
    if (state == Connection::State::admitted)
    {
        if (unread)
            m_sink.refused(address, kRefusedTooLarge);
        m_sink.disconnected(address);
    }
    forget(fd);
    if (m_handshakeFailed)
    {
        m_handshakeFailed = false;
        // Without an allow-list or encryption every peer is admitted: a connection that ends
        // before its handshake (a port scan, a health check) is no refusal, and the operator is
        // not warned of it. Nor is one hung up here: its refusal was told.
        const std::shared_ptr<const IngressPolicy> policy = m_policySource();
        if (state != Connection::State::refused && policy && policy->restricted())
            tellRefused(address, kRefusedHandshake);
    }
}

void ZapHandler::forget(int fd)
{
    const auto found = m_connectionOfDescriptor.find(fd);
    if (found == m_connectionOfDescriptor.end())
        return;
    const auto count = m_connectionsOfPeer.find(found->second.address);
    if (count != m_connectionsOfPeer.end() && --count->second <= 0)
        m_connectionsOfPeer.erase(count);
    --m_connections;
    m_connectionOfDescriptor.erase(found);
}

void ZapHandler::answerRequest()
{
    std::vector<zmq::message_t> frames;
    for (;;)
    {
        zmq::message_t frame;
        if (!m_zap.recv(frame, frames.empty() ? zmq::recv_flags::dontwait : zmq::recv_flags::none))
            return;
        const bool more = frame.more();
        frames.push_back(std::move(frame));
        if (!more)
            break;
    }
    // Version, request id, domain, address, routing id, mechanism, credentials...
    if (frames.size() < 6)
    {
        m_log.write(kZapFunc, " malformed ZAP request, frames: ", std::to_string(frames.size()));
        return; //< A REP socket cannot answer nothing; libzmq never sends this.
    }
    const std::string address = toString(frames[3]);
    const Verdict verdict = judge(toString(frames[2]), address, toString(frames[5]),
        frames.size() > 6 ? toString(frames[6]) : std::string());

    const std::string status = verdict.admitted ? "200" : "400";
    const std::string text = verdict.admitted ? "OK" : verdict.reason;
    m_zap.send(zmq::buffer(std::string("1.0")), zmq::send_flags::sndmore);
    m_zap.send(frames[1], zmq::send_flags::sndmore);
    m_zap.send(zmq::buffer(status), zmq::send_flags::sndmore);
    m_zap.send(zmq::buffer(text), zmq::send_flags::sndmore);
    m_zap.send(zmq::buffer(verdict.userId), zmq::send_flags::sndmore);
    m_zap.send(zmq::message_t(), zmq::send_flags::none);

    // A ZAP request names no descriptor: the connection is the oldest one from that address
    // whose handshake was not yet answered (its ACCEPTED event was read before its request).
    const auto connection = unansweredFrom(address);
    if (connection == m_connectionOfDescriptor.end())
    {
        if (!verdict.admitted)
            tellRefused(address, verdict.reason);
        return;
    }
    connection->second.answered = true;
    if (connection->second.state == Connection::State::refused)
        return; //< Refused on arrival, told then; libzmq had its request already.
    if (verdict.admitted)
    {
        connection->second.state = Connection::State::admitted;
        watch(connection->first);
        m_sink.connected(address);
        return;
    }
    connection->second.state = Connection::State::refused;
    DueHangUp due;
    due.at = Clock::now() + kRefusedHangUpDelay;
    due.fd = connection->first;
    due.arrival = connection->second.arrival;
    m_dueHangUps.push_back(due);
    tellRefused(address, verdict.reason);
}

std::map<int, ZapHandler::Connection>::iterator ZapHandler::unansweredFrom(
    const std::string& address)
{
    auto oldest = m_connectionOfDescriptor.end();
    for (auto it = m_connectionOfDescriptor.begin(); it != m_connectionOfDescriptor.end(); ++it)
    {
        const Connection& connection = it->second;
        if (!connection.answered && connection.address == address
            && (oldest == m_connectionOfDescriptor.end()
                || connection.arrival < oldest->second.arrival))
        {
            oldest = it;
        }
    }
    return oldest;
}

void ZapHandler::tellRefused(const std::string& address, const char* reason)
{
    // Each refusal in the log (held to a rate per reason); the event once a minute.
    m_log.write(kRefusedLine, reason, " (" + address + ")");
    m_sink.refused(address, reason);
}

void ZapHandler::hangUp(int fd)
{
    (void) ::shutdown(fd, SHUT_RDWR);
}

/**
 * The descriptor of a connection that libzmq closed meanwhile may belong to a new one already:
 * the monitor, which tells a DISCONNECTED before libzmq closes the descriptor, is read first, and
 * the peer's address must still be the one refused.
 */
void ZapHandler::hangUpDue(Clock::time_point now)
{
    if (m_dueHangUps.empty() || m_dueHangUps.front().at > now)
        return;
    readMonitor();
    while (!m_dueHangUps.empty() && m_dueHangUps.front().at <= now)
    {
        const DueHangUp due = m_dueHangUps.front();
        m_dueHangUps.pop_front();
        const auto connection = m_connectionOfDescriptor.find(due.fd);
        if (connection != m_connectionOfDescriptor.end()
            && connection->second.arrival == due.arrival
            && peerAddressOf(due.fd) == connection->second.address)
        {
            hangUp(due.fd);
        }
    }
}

/**
 * libzmq closes a connection whose message is over the service socket's size limit without
 * saying why: its monitor tells DISCONNECTED, as for a peer that hung up. What tells them apart
 * is the rest of the message, which the peer sent and libzmq never read: a duplicate of the
 * descriptor keeps the socket open to look. (Another fault of the peer's in the middle of its
 * stream, which libzmq cuts the same way, is counted alike.)
 */
void ZapHandler::watch(int fd)
{
    if (m_watched.size() >= kMaxWatched || m_watched.count(fd) > 0)
        return;
    const int duplicate = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (duplicate < 0)
        return;
    // Descriptors are numbered from the lowest free one: a high number means few are left, and
    // those are for accepting connections, not for counting.
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0
        || static_cast<rlim_t>(duplicate) >= limit.rlim_cur / 2)
    {
        ::close(duplicate);
        return;
    }
    m_watched.emplace(fd, duplicate);
}

bool ZapHandler::closedUnread(int fd)
{
    const auto watched = m_watched.find(fd);
    if (watched == m_watched.end())
        return false;
    const int duplicate = watched->second;
    m_watched.erase(watched);
    // libzmq stops at the message's header: the rest may still be on its way. A peer that hung
    // up shows its end at once; one cut while it was silent shows nothing within the wait.
    pollfd item{duplicate, POLLIN, 0};
    (void) ::poll(&item, 1, static_cast<int>(kRestOfMessageWait.count()));
    char byte = 0;
    const ssize_t unread = ::recv(duplicate, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    ::close(duplicate);
    return unread > 0;
}

ZapHandler::Verdict ZapHandler::judge(const std::string& domain, const std::string& address,
    const std::string& mechanism, const std::string& credentials)
{
    const std::shared_ptr<const IngressPolicy> policy = m_policySource();
    Verdict verdict;
    if (domain != kZapDomain || !policy)
    {
        // Only the service socket has a domain; anything else asking is not ours to admit.
        verdict.reason = kRefusedHandshake;
        return verdict;
    }
    // This connection is counted already (its ACCEPTED event was read first).
    const auto count = m_connectionsOfPeer.find(address);
    if ((count != m_connectionsOfPeer.end() && count->second > kMaxConnectionsPerAddress)
        || m_connections > kMaxConnections)
    {
        verdict.reason = kRefusedConnections;
        return verdict;
    }
    if (!policy->allowedAddresses.empty() && !addressInRanges(policy->allowedAddresses, address))
    {
        verdict.reason = kRefusedAddress;
        return verdict;
    }
    if (mechanism == "CURVE" && policy->curve)
    {
        const auto engine = policy->engines.find(credentials);
        if (engine == policy->engines.end())
        {
            verdict.reason = kRefusedKey;
            return verdict;
        }
        verdict.admitted = true;
        verdict.userId = engine->second.name;
        return verdict;
    }
    if (mechanism == "NULL" && !policy->curve)
    {
        verdict.admitted = true;
        return verdict;
    }
    // A mechanism the listener was not made with (the policy changed since it was bound).
    verdict.reason = kRefusedHandshake;
    return verdict;
}

} // namespace nx::vms_server_plugins::analytics::sample
