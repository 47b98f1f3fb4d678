#include <new>

#include "channel/channel.h"
#include "models/models.h"

namespace lf {

UsbDeviceLink::UsbDeviceLink(uint16_t vendorId, uint16_t productId)
    : vendorId_(vendorId), productId_(productId) {
  spare_ = -1;
  opened_ = OpenChannel(vendorId_, productId_) ? 1 : 0;
}

UsbDeviceLink::~UsbDeviceLink() { CloseChannel(); }

int UsbDeviceLink::Close() {
  CloseChannel();
  return 1;
}

int UsbDeviceLink::Reopen() { return OpenChannel(vendorId_, productId_) ? 1 : 0; }

ScanParamHolder::ScanParamHolder() : params_(new (std::nothrow) ScanParamBlock{}) {}

ScanParamHolder::~ScanParamHolder() { delete params_; }

void ScanParamHolder::Set(const ScanParamBlock* params) {
  if (params_ == nullptr || params == nullptr) return;
  *params_ = *params;
  int16_t* values = params_->values;
  if (values[40] > 900) values[40] = 900;
  if (values[38] < 0) values[38] = 0;
  if (values[37] < 0) values[37] = 0;
}

}  // namespace lf
