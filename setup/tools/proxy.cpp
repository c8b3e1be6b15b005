#include "setup/tools/proxy.h"

#include "setup/job/handles.h"
#include "setup/job/process.h"
#include "setup/tools/http.h"

#include <windows.h>
#include <winhttp.h>

#include <memory>
#include <vector>

namespace murk::setup {

namespace {

// Detection asks the network (DHCP, DNS) for a setup script, which may never answer.
constexpr DWORD kLookupMilliseconds = 5000;
// How long the process's end waits for lookups that the job gave up on.
constexpr ULONGLONG kLastWaitMilliseconds = 2000;

using GlobalText = std::unique_ptr<wchar_t, GlobalFreer>;

std::wstring TextOf(const GlobalText& text) {
    return text ? std::wstring(text.get()) : std::wstring();
}

bool Same(std::wstring_view a, std::wstring_view b) {
    return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

// Calls take with each entry of a WinHTTP list: entries are separated by semicolons or white space.
template <class Take>
void ForEachEntry(std::wstring_view list, Take take) {
    for (std::size_t start = 0; start < list.size();) {
        std::size_t end = list.find_first_of(L"; \t\r\n", start);
        if (end == std::wstring_view::npos) end = list.size();
        if (end > start) take(list.substr(start, end - start));
        start = end + 1;
    }
}

// Where the host begins in a proxy given without its scheme: after a user name and password.
std::size_t HostStart(std::wstring_view server) {
    const std::size_t at = server.rfind(L'@');
    return at == std::wstring_view::npos ? 0 : at + 1;
}

// What the automatic settings gave. The lookup runs on a thread of its own that may outlive the
// wait for it: it owns a share of this.
struct Lookup {
    std::wstring url;
    bool detect = false;
    std::wstring scriptUrl;  // empty: none
    bool answered = false;
    std::wstring proxy;  // empty: a direct connection
    std::wstring bypass;
};

// Lookups that a job stopped waiting for (a cancel, the time limit). A thread that the process's
// end cuts off inside the loader (detection loads DLLs) would leave its lock taken, and the end
// would hang on it: the end waits for them a moment first.
struct Unfinished {
    std::vector<UniqueHandle> threads;
    ~Unfinished() {
        const ULONGLONG end = GetTickCount64() + kLastWaitMilliseconds;
        for (const UniqueHandle& thread : threads) {
            const ULONGLONG now = GetTickCount64();
            WaitForSingleObject(thread.get(), now < end ? static_cast<DWORD>(end - now) : 0);
        }
    }
};
Unfinished s_unfinished;

void LookUp(Lookup& lookup) {
    // A setup script runs in a script engine.
    ComApartment apartment;
    UniqueInternet session(WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_NO_PROXY,
                                       WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    WINHTTP_AUTOPROXY_OPTIONS options{};
    if (lookup.detect) {
        options.dwFlags |= WINHTTP_AUTOPROXY_AUTO_DETECT;
        options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
    }
    if (!lookup.scriptUrl.empty()) {
        options.dwFlags |= WINHTTP_AUTOPROXY_CONFIG_URL;
        options.lpszAutoConfigUrl = lookup.scriptUrl.c_str();
    }
    options.fAutoLogonIfChallenged = TRUE;
    WINHTTP_PROXY_INFO info{};
    if (session && WinHttpGetProxyForUrl(session.get(), lookup.url.c_str(), &options, &info)) {
        const GlobalText proxy(info.lpszProxy);
        const GlobalText bypass(info.lpszProxyBypass);
        lookup.answered = true;
        if (info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY) {
            lookup.proxy = TextOf(proxy);
            lookup.bypass = TextOf(bypass);
        }
    }
}

DWORD WINAPI LookUpThread(void* parameter) {
    const std::unique_ptr<std::shared_ptr<Lookup>> lookup(
        static_cast<std::shared_ptr<Lookup>*>(parameter));
    LookUp(**lookup);
    return 0;
}

// The automatic settings' answer for url; nothing when they gave none in time.
std::shared_ptr<const Lookup> Automatic(const std::wstring& url, bool detect,
                                        std::wstring scriptUrl) {
    if (s_cancel.load()) return nullptr;
    auto lookup = std::make_shared<Lookup>();
    lookup->url = url;
    lookup->detect = detect;
    lookup->scriptUrl = std::move(scriptUrl);
    auto share = std::make_unique<std::shared_ptr<Lookup>>(lookup);
    UniqueHandle thread(CreateThread(nullptr, 0, LookUpThread, share.get(), 0, nullptr));
    if (!thread) return nullptr;
    share.release();
    if (!WaitUnlessCancelled(thread.get(), kLookupMilliseconds)) {
        std::erase_if(s_unfinished.threads, [](const UniqueHandle& earlier) {
            return WaitForSingleObject(earlier.get(), 0) == WAIT_OBJECT_0;
        });
        s_unfinished.threads.push_back(std::move(thread));
        return nullptr;
    }
    return lookup->answered ? lookup : nullptr;
}

}  // namespace

std::optional<ProxySetting> SystemProxy(const std::wstring& url) {
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG settings{};
    if (!WinHttpGetIEProxyConfigForCurrentUser(&settings)) return std::nullopt;
    const GlobalText scriptUrl(settings.lpszAutoConfigUrl);
    const GlobalText proxy(settings.lpszProxy);
    const GlobalText bypass(settings.lpszProxyBypass);
    std::wstring list = TextOf(proxy);
    std::wstring hosts = TextOf(bypass);
    if (settings.fAutoDetect || scriptUrl) {
        if (const auto found = Automatic(url, settings.fAutoDetect, TextOf(scriptUrl))) {
            list = found->proxy;
            hosts = found->bypass;
        }
    }
    std::wstring server = ProxyServerFor(list);
    if (server.empty()) return std::nullopt;
    return ProxySetting{.server = std::move(server), .noProxy = NoProxyFrom(hosts)};
}

std::wstring ProxyServerFor(std::wstring_view list) {
    std::wstring https;
    std::wstring anyScheme;
    std::wstring http;
    ForEachEntry(list, [&](std::wstring_view entry) {
        std::wstring_view scheme;
        if (const std::size_t equals = entry.find(L'='); equals != std::wstring_view::npos) {
            scheme = entry.substr(0, equals);
            entry.remove_prefix(equals + 1);
        }
        // "http://host:port" names the same server.
        if (const std::size_t slashes = entry.find(L"://"); slashes != std::wstring_view::npos)
            entry.remove_prefix(slashes + 3);
        while (entry.ends_with(L'/'))
            entry.remove_suffix(1);
        if (entry.empty()) return;
        std::wstring server(entry);
        const std::size_t colon = server.rfind(L':');
        const std::size_t bracket = server.rfind(L']');
        if (colon == std::wstring::npos || colon < HostStart(server) ||
            (bracket != std::wstring::npos && colon < bracket))
            server += L":80";
        std::wstring* slot = scheme.empty()           ? &anyScheme
                             : Same(scheme, L"https") ? &https
                             : Same(scheme, L"http")  ? &http
                                                      : nullptr;
        if (slot && slot->empty()) *slot = std::move(server);
    });
    if (!https.empty()) return https;
    return anyScheme.empty() ? http : anyScheme;
}

std::wstring MaskedProxy(std::wstring_view proxy) {
    const std::size_t slashes = proxy.find(L"://");
    const std::size_t start = slashes == std::wstring_view::npos ? 0 : slashes + 3;
    const std::size_t host = HostStart(proxy.substr(start));
    if (host == 0) return std::wstring(proxy);
    return std::wstring(proxy.substr(0, start)) + L"***@" +
           std::wstring(proxy.substr(start + host));
}

std::wstring NoProxyFrom(std::wstring_view bypass) {
    std::wstring hosts;
    ForEachEntry(bypass, [&hosts](std::wstring_view host) {
        if (Same(host, L"<local>"))
            host = L"localhost";
        else if (host.size() > 1 && host.starts_with(L'*'))
            host.remove_prefix(1);
        if (!hosts.empty()) hosts += L',';
        hosts += host;
    });
    return hosts;
}

}  // namespace murk::setup
