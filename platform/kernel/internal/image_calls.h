// Calls the kernel makes into driver images. An image that the loader mapped stays mapped until
// every call the kernel made into it has returned: a completion routine, work item, DPC, cancel
// routine or system thread of a driver may still be running when its last device goes.
#pragma once

#include <string>

namespace hvsim::ldr {

struct ImageSlot;

// Takes a hold on the loaded image that contains `code` before the kernel calls it, or queues a
// call that is sure to run (a work item, a system thread). Code of the kernel, the program or a
// built-in driver needs no hold: null is returned. Calling code that lies in no mapped object, or
// in an image whose unmapping has begun, is a bug check naming `what`.
ImageSlot* enter_image(const void* code, const char* what);
void leave_image(ImageSlot* slot);

// The hold for one call made at once.
class ImageCall {
public:
    ImageCall(const void* code, const char* what) : slot_(enter_image(code, what)) {}
    ~ImageCall() { leave_image(slot_); }
    ImageCall(const ImageCall&) = delete;
    ImageCall& operator=(const ImageCall&) = delete;

private:
    ImageSlot* slot_;
};

// For the loader. attach_image starts counting the calls into a freshly mapped image (null when
// the table is full: the image is then refused). drain_image waits, on the machine's clock, for
// the calls still running in it to return and refuses new ones; a pending DPC or set timer of the
// image, or calls that do not return in time, are a bug check. detach_image forgets it once it is
// unmapped.
ImageSlot* attach_image(void* handle, const std::string& name);
void drain_image(ImageSlot* slot);
void detach_image(ImageSlot* slot);

} // namespace hvsim::ldr
