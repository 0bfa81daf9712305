#include "SystemClass.h"

#include <memory>
#include <new>

namespace Quillmet::TessaLine {

namespace {

constexpr size_t kWordSize = 4;

}  // namespace

void SystemClass::init(Module* module, uint8_t index) {
    EntityClass::init(module, kSystemCommand, index);
}

aErr SystemClass::getSigned(uint8_t option, int32_t* value) {
    if (!value) return aErrParam;
    uint32_t raw = 0;
    const aErr err = getUEI32(option, &raw);
    if (err == aErrNone || err == aErrStreamStale) *value = static_cast<int32_t>(raw);
    return err;
}

aErr SystemClass::getModule(uint8_t* address) {
    return getUEI8(systemModule, address);
}
aErr SystemClass::getRouter(uint8_t* address) {
    return getUEI8(systemRouter, address);
}
aErr SystemClass::setRouter(uint8_t address) {
    return setUEI8(systemRouter, address);
}
aErr SystemClass::getHBInterval(uint8_t* interval) {
    return getUEI8(systemHBInterval, interval);
}
aErr SystemClass::setHBInterval(uint8_t interval) {
    return setUEI8(systemHBInterval, interval);
}
aErr SystemClass::getLED(uint8_t* state) {
    return getUEI8(systemLED, state);
}
aErr SystemClass::setLED(uint8_t on) {
    return setUEI8(systemLED, on ? 1 : 0);
}
aErr SystemClass::getBootSlot(uint8_t* slot) {
    return getUEI8(systemBootSlot, slot);
}
aErr SystemClass::setBootSlot(uint8_t slot) {
    return setUEI8(systemBootSlot, slot);
}
aErr SystemClass::getVersion(uint32_t* version) {
    return getUEI32(systemVersion, version);
}
aErr SystemClass::getModel(uint8_t* model) {
    return getUEI8(systemModel, model);
}
aErr SystemClass::getSerialNumber(uint32_t* serialNumber) {
    return getUEI32(systemSerialNumber, serialNumber);
}
aErr SystemClass::save() {
    return callUEI(systemSave);
}
aErr SystemClass::reset() {
    return callUEI(systemReset);
}
aErr SystemClass::getInputVoltage(uint32_t* voltage) {
    return getUEI32(systemInputVoltage, voltage);
}
aErr SystemClass::getModuleHardwareOffset(uint8_t* offset) {
    return getUEI8(systemModuleHardwareOffset, offset);
}
aErr SystemClass::getModuleBaseAddress(uint8_t* address) {
    return getUEI8(systemModuleBaseAddress, address);
}
aErr SystemClass::getModuleSoftwareOffset(uint8_t* offset) {
    return getUEI8(systemModuleSoftwareOffset, offset);
}
aErr SystemClass::setModuleSoftwareOffset(uint8_t offset) {
    return setUEI8(systemModuleSoftwareOffset, offset);
}
aErr SystemClass::getRouterAddressSetting(uint8_t* setting) {
    return getUEI8(systemRouterAddressSetting, setting);
}
aErr SystemClass::routeToMe(uint8_t on) {
    return setUEI8(systemRouteToMe, on);
}
aErr SystemClass::getInputCurrent(uint32_t* current) {
    return getUEI32(systemInputCurrent, current);
}
aErr SystemClass::getUptime(uint32_t* uptime) {
    return getUEI32(systemUptime, uptime);
}
aErr SystemClass::getMaximumTemperature(int32_t* temperature) {
    return getSigned(systemMaximumTemperature, temperature);
}
aErr SystemClass::logEvents() {
    return callUEI(systemLogEvents);
}
aErr SystemClass::getUnregulatedVoltage(int32_t* voltage) {
    return getSigned(systemUnregulatedVoltage, voltage);
}
aErr SystemClass::getUnregulatedCurrent(int32_t* current) {
    return getSigned(systemUnregulatedCurrent, current);
}
aErr SystemClass::getTemperature(int32_t* temperature) {
    return getSigned(systemTemperature, temperature);
}
aErr SystemClass::getMinimumTemperature(int32_t* temperature) {
    return getSigned(systemMinimumTemperature, temperature);
}
aErr SystemClass::getInputPowerSource(uint8_t* source) {
    return getUEI8(systemInputPowerSource, source);
}
aErr SystemClass::getInputPowerBehavior(uint8_t* behavior) {
    return getUEI8(systemInputPowerBehavior, behavior);
}
aErr SystemClass::setInputPowerBehavior(uint8_t behavior) {
    return setUEI8(systemInputPowerBehavior, behavior);
}

aErr SystemClass::getInputPowerBehaviorConfig(uint32_t* words, size_t capacity, size_t* count) {
    if (!words || !count) return aErrParam;
    *count = 0;
    size_t bytes = 0;
    aErr err = getUEIBytes(systemInputPowerBehaviorConfig, reinterpret_cast<uint8_t*>(words),
                           capacity * kWordSize, &bytes);
    if (err != aErrNone) return err;
    err = getUEIBytesCheck(&bytes, kWordSize);
    if (err != aErrNone) return err;
    aUEI_ModifyIntBuffer(words, bytes);
    *count = bytes;
    return aErrNone;
}

aErr SystemClass::setInputPowerBehaviorConfig(const uint32_t* words, size_t count) {
    if (!words && count > 0) return aErrParam;
    // The caller's words stay as they are; the module gets them big-endian.
    std::unique_ptr<uint8_t[]> bytes(new (std::nothrow) uint8_t[count * kWordSize + 1]);
    if (!bytes) return aErrMemory;
    for (size_t i = 0; i < count; ++i) aUEI_StoreInt(&bytes[i * kWordSize], words[i]);
    return setUEIBytes(systemInputPowerBehaviorConfig, bytes.get(), count * kWordSize);
}

aErr SystemClass::getName(uint8_t* buffer, size_t capacity, size_t* count) {
    return getUEIBytes(systemName, buffer, capacity, count);
}
aErr SystemClass::setName(const uint8_t* name, size_t length) {
    if (!name && length > 0) return aErrParam;
    return setUEIBytes(systemName, name, length);
}
aErr SystemClass::getPowerLimit(uint32_t* limit) {
    return getUEI32(systemPowerLimit, limit);
}
aErr SystemClass::getPowerLimitMax(uint32_t* limit) {
    return getUEI32(systemPowerLimitMax, limit);
}
aErr SystemClass::setPowerLimitMax(uint32_t limit) {
    return setUEI32(systemPowerLimitMax, limit);
}
aErr SystemClass::getPowerLimitState(uint32_t* state) {
    return getUEI32(systemPowerLimitState, state);
}
aErr SystemClass::resetEntityToFactoryDefaults() {
    return callUEI(systemResetEntityToFactoryDefaults);
}
aErr SystemClass::resetDeviceToFactoryDefaults() {
    return callUEI(systemResetDeviceToFactoryDefaults);
}
aErr SystemClass::getLinkInterface(uint8_t* linkInterface) {
    return getUEI8(systemLinkInterface, linkInterface);
}
aErr SystemClass::setLinkInterface(uint8_t linkInterface) {
    return setUEI8(systemLinkInterface, linkInterface);
}
aErr SystemClass::getHardwareVersion(uint32_t* version) {
    return getUEI32(systemHardwareVersion, version);
}
aErr SystemClass::getErrors(uint32_t* errors) {
    return getUEI32(systemErrors, errors);
}
aErr SystemClass::getLEDMaxBrightness(uint8_t* brightness) {
    return getUEI8(systemLEDMaxBrightness, brightness);
}
aErr SystemClass::setLEDMaxBrightness(uint8_t brightness) {
    return setUEI8(systemLEDMaxBrightness, brightness);
}
aErr SystemClass::getBuild(uint32_t* build) {
    return getUEI32(systemBuild, build);
}
aErr SystemClass::getProtocolFeatures(uint32_t* features) {
    return getUEI32(systemProtocolFeatures, features);
}

}  // namespace Quillmet::TessaLine
