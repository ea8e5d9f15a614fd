#include "api/api_server.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <atomic>
#include <exception>
#include <optional>
#include <thread>
#include <variant>

#include "api/api_routes.h"

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;

namespace {

// What the connections share: the settings, the board, the count of open connections and the
// accept loop. Everything but `port` is touched on the io thread only once serving starts.
struct Listener {
    Listener(ApiSettings s, const SnapshotBoard& b) : settings(std::move(s)), board(b) {}

    void accept_next();
    void session_ended();

    const ApiSettings settings;
    const SnapshotBoard& board;
    int sessions = 0;        // open connections
    bool accepting = false;  // an accept is pending
    std::atomic<int> port{0};
    std::optional<tcp::acceptor> acceptor;
    std::thread thread;
    // Last: destroyed first, and with it every connection's handlers, while the rest still lives.
    net::io_context io{1};
};

// One connection: requests read with a deadline and a bound on their size, answered in turn.
class Session : public std::enable_shared_from_this<Session> {
public:
    Session(Listener& server, tcp::socket socket)
        : server_(server), stream_(std::move(socket)), buffer_(server.settings.limits.header_bytes + 1024)
    {
    }

    void read()
    {
        parser_.emplace();
        parser_->header_limit(static_cast<std::uint32_t>(server_.settings.limits.header_bytes));
        stream_.expires_after(server_.settings.limits.request_timeout);
        http::async_read(stream_, buffer_, *parser_,
                         [self = shared_from_this()](beast::error_code ec, std::size_t) { self->on_read(ec); });
    }

private:
    void on_read(beast::error_code ec)
    {
        if (ec == http::error::header_limit || ec == http::error::buffer_overflow) return answer(431, false);
        // A GET or HEAD has no body; the method of any other request is all its answer needs.
        const bool head_read = ec == http::error::unexpected_body && parser_->is_header_done();
        if (ec && !head_read) {
            if (ec == http::error::end_of_stream || ec == beast::error::timeout || ec == net::error::eof ||
                ec == net::error::operation_aborted || ec == net::error::connection_reset)
                return end();
            return answer(400, false);  // not HTTP: a broken request line or header
        }
        const auto& request = parser_->get();
        ApiAnswer reply;
        try {
            reply = answerRequest({std::string(request.method_string()), std::string(request.target()),
                                   std::string(request[http::field::authorization])},
                                  server_.settings, server_.board);
        } catch (const std::exception& error) {
            reply = {500, "text/plain; charset=utf-8", std::string("internal error: ") + error.what() + "\n", {}};
        }
        write(std::move(reply), request.method() == http::verb::head, request.keep_alive() && !head_read);
    }

    void answer(int status, bool keep_alive)
    {
        const char* text = status == 431 ? "request header fields too large\n" : "bad request\n";
        write({status, "text/plain; charset=utf-8", text, {}}, false, keep_alive);
    }

    void write(ApiAnswer reply, bool head, bool keep_alive)
    {
        auto response = std::make_shared<http::response<http::string_body>>(
            static_cast<http::status>(reply.status), 11);
        response->set(http::field::server, "corvane-miner");
        response->set(http::field::content_type, reply.content_type);
        response->set(http::field::cache_control, "no-store");
        response->set("X-Content-Type-Options", "nosniff");
        for (const auto& [name, value] : reply.headers) response->set(name, value);
        response->keep_alive(keep_alive);
        response->content_length(reply.body.size());
        if (!head) response->body() = std::move(reply.body);
        keep_alive_ = keep_alive;
        stream_.expires_after(server_.settings.limits.write_timeout);
        // A HEAD answer states the GET body's length and sends the header alone.
        auto serializer = std::make_shared<http::response_serializer<http::string_body>>(*response);
        auto done = [self = shared_from_this(), response, serializer](beast::error_code ec, std::size_t) {
            self->on_write(ec);
        };
        if (head)
            http::async_write_header(stream_, *serializer, std::move(done));
        else
            http::async_write(stream_, *serializer, std::move(done));
    }

    void on_write(beast::error_code ec)
    {
        if (ec || !keep_alive_) {
            beast::error_code ignored;
            stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
            return end();
        }
        read();
    }

    void end()
    {
        if (ended_) return;
        ended_ = true;
        beast::error_code ignored;
        stream_.socket().close(ignored);
        server_.session_ended();
    }

    Listener& server_;
    beast::tcp_stream stream_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::empty_body>> parser_;
    bool keep_alive_ = false;
    bool ended_ = false;
};

void Listener::accept_next()
{
    // At the cap, further clients wait in the kernel's queue until a connection ends.
    if (accepting || sessions >= settings.limits.connections || !acceptor->is_open()) return;
    accepting = true;
    acceptor->async_accept(io, [this](beast::error_code ec, tcp::socket socket) {
        accepting = false;
        if (ec == net::error::operation_aborted) return;
        if (!ec) {
            ++sessions;
            std::make_shared<Session>(*this, std::move(socket))->read();
        }
        accept_next();
    });
}

void Listener::session_ended()
{
    --sessions;
    accept_next();
}

}  // namespace

struct ApiServer::Impl : Listener {
    using Listener::Listener;
};

ApiServer::ApiServer(ApiSettings settings, const SnapshotBoard& board)
    : impl_(std::make_unique<Impl>(std::move(settings), board))
{
}

ApiServer::~ApiServer()
{
    stop();
}

std::string ApiServer::start()
{
    Impl& s = *impl_;
    const std::string where = apiAddressText(s.settings.host, s.settings.port);
    beast::error_code ec;
    const auto address = net::ip::make_address(s.settings.host, ec);
    if (ec) return "Cannot serve the API on " + where + ": " + ec.message();
    tcp::acceptor& acceptor = s.acceptor.emplace(s.io);
    const tcp::endpoint endpoint(address, static_cast<unsigned short>(s.settings.port));
    acceptor.open(endpoint.protocol(), ec);
    // Address reuse lets a restarted miner listen at once; it never lets two listen on one port.
    if (!ec) acceptor.set_option(net::socket_base::reuse_address(true), ec);
    if (!ec) acceptor.bind(endpoint, ec);
    if (!ec) acceptor.listen(net::socket_base::max_listen_connections, ec);
    if (!ec) s.port = acceptor.local_endpoint(ec).port();
    if (ec) {
        s.acceptor.reset();
        return "Cannot serve the API on " + where + ": " + ec.message();
    }
    net::post(s.io, [&s] { s.accept_next(); });
    s.thread = std::thread([&s] {
        for (;;) {  // a handler that throws (out of memory) costs its connection, not the server
            try {
                s.io.run();
                return;
            } catch (const std::exception&) {
            }
        }
    });
    return "";
}

void ApiServer::stop()
{
    Impl& s = *impl_;
    if (!s.thread.joinable()) return;
    s.io.stop();
    s.thread.join();
    s.acceptor.reset();  // before the io_context it belongs to
}

int ApiServer::port() const
{
    return impl_->port;
}
