#pragma once
// Windows' proxy setting, for the programs that don't read it themselves: git and Python go
// through a proxy only when their environment names one.

#include <optional>
#include <string>
#include <string_view>

namespace murk::setup {

struct ProxySetting {
    std::wstring server;   // "host:port"
    std::wstring noProxy;  // the hosts reached directly, as NO_PROXY lists them; may be empty
};

// The proxy that the user's Windows settings give for url. Automatic settings (detection, a
// setup script) come first, as for Setup's own downloads; the lookup gets 5 s, and a cancel ends
// the wait at once. Where they give nothing, the proxy set by hand. Nothing for a direct
// connection, a socks proxy only, or settings that can't be read.
std::optional<ProxySetting> SystemProxy(const std::wstring& url);

// The server that a WinHTTP proxy list ("host:port", "http=host:port;https=host:port" ...)
// names for https: its "https=" entry, else one for every scheme, else its "http=" entry, the
// first of each; port 80 when it names none. Empty when it names none (socks only, say).
std::wstring ProxyServerFor(std::wstring_view list);

// A proxy ("[scheme://][user[:password]@]host:port") as the log may show it: a user name and
// password become "***".
std::wstring MaskedProxy(std::wstring_view proxy);

// A WinHTTP bypass list ("<local>;*.corp.example;10.*") as NO_PROXY reads it:
// "localhost,.corp.example,10.*".
std::wstring NoProxyFrom(std::wstring_view bypass);

}  // namespace murk::setup
