#include "setup/window/window.h"

#include <oleacc.h>

namespace murk::setup {

namespace {

// UI Automation's LiveSetting property, which MSAA annotations take as well; MinGW's headers
// lack it.
constexpr GUID kLiveSetting = {
    0xc12bcd8e, 0x2a8e, 0x4950, {0x8a, 0xe7, 0x36, 0x25, 0x11, 0x1d, 0x58, 0xeb}};
constexpr LONG kPolite = 1;

using GetClassObjectCall = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);

// oleacc, from the system folder and nowhere else, for as long as its annotation object lives.
UniqueModule s_oleacc;
ComPtr<IAccPropServices> s_annotations;
HWND s_liveRegion = nullptr;

ComPtr<IAccPropServices> CreateAnnotations() {
    const auto getClassObject = reinterpret_cast<GetClassObjectCall>(
        reinterpret_cast<void*>(GetProcAddress(s_oleacc.get(), "DllGetClassObject")));
    IClassFactory* rawFactory = nullptr;
    if (!getClassObject || FAILED(getClassObject(CLSID_AccPropServices, IID_IClassFactory,
                                                 reinterpret_cast<void**>(&rawFactory))))
        return nullptr;
    const ComPtr<IClassFactory> factory(rawFactory);
    IAccPropServices* raw = nullptr;
    if (FAILED(
            factory->CreateInstance(nullptr, IID_IAccPropServices, reinterpret_cast<void**>(&raw))))
        return nullptr;
    return ComPtr<IAccPropServices>(raw);
}

}  // namespace

void MarkLiveRegion(HWND control) {
    s_liveRegion = control;
    s_oleacc.reset(LoadLibraryExW(L"oleacc.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
    if (!s_oleacc) return;
    ComPtr<IAccPropServices> annotations = CreateAnnotations();
    if (!annotations) return;
    VARIANT polite{};
    polite.vt = VT_I4;
    polite.lVal = kPolite;
    // Where the annotation isn't supported, screen readers still hear the events of a region.
    annotations->SetHwndProp(control, static_cast<DWORD>(OBJID_CLIENT), CHILDID_SELF, kLiveSetting,
                             polite);
    s_annotations = std::move(annotations);
}

void UnmarkLiveRegion() {
    // An annotation outlives its window unless it is cleared: a later window with the same
    // handle would inherit it.
    if (s_annotations)
        s_annotations->ClearHwndProps(s_liveRegion, static_cast<DWORD>(OBJID_CLIENT), CHILDID_SELF,
                                      &kLiveSetting, 1);
    s_annotations.reset();
    s_oleacc.reset();
    s_liveRegion = nullptr;
}

void AnnounceLiveRegion() {
    if (s_liveRegion)
        NotifyWinEvent(EVENT_OBJECT_LIVEREGIONCHANGED, s_liveRegion, OBJID_CLIENT, CHILDID_SELF);
}

}  // namespace murk::setup
