// TObject: the common root of the program's components, so that an event can
// name its sender (a socket component, a listening socket, a window) without
// knowing its class.
#pragma once

class TObject {
public:
    TObject() = default;
    TObject(const TObject&) = delete;
    TObject& operator=(const TObject&) = delete;
    virtual ~TObject() = default;
};
