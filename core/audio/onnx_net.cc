#include "core/audio/onnx_net.h"

#include <algorithm>
#include <stdexcept>

namespace le {

namespace {

std::string shapeText(const std::vector<int64_t>& dims) {
  std::string s = "[";
  for (size_t i = 0; i < dims.size(); ++i) s += (i ? ", " : "") + std::to_string(dims[i]);
  return s + "]";
}

}  // namespace

OnnxNet::OnnxNet(Ort::Env& env, const Ort::SessionOptions& options, const std::string& path, int inputs, int outputs)
    : path_(path) {
  try {
    session_ = Ort::Session(env, path.c_str(), options);
  } catch (const Ort::Exception& e) {
    throw std::runtime_error("cannot load model " + path + ": " + e.what());
  }
  cpu_ = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  Ort::AllocatorWithDefaultOptions alloc;
  for (size_t i = 0; i < session_.GetInputCount(); ++i) {
    inputNames_.emplace_back(session_.GetInputNameAllocated(i, alloc).get());
    inputDims_.push_back(session_.GetInputTypeInfo(i).GetTensorTypeAndShapeInfo().GetShape());
  }
  for (size_t i = 0; i < session_.GetOutputCount(); ++i)
    outputNames_.emplace_back(session_.GetOutputNameAllocated(i, alloc).get());
  if ((inputs >= 0 && inputNames_.size() != size_t(inputs)) || (outputs >= 0 && outputNames_.size() != size_t(outputs)))
    throw std::runtime_error(path + " has " + std::to_string(inputNames_.size()) + " input(s) and " +
                             std::to_string(outputNames_.size()) + " output(s) where " + std::to_string(inputs) +
                             " and " + std::to_string(outputs) + " are expected");
  shapes_.resize(inputNames_.size());
  shapeCounts_.assign(inputNames_.size(), 0);
}

size_t OnnxNet::inputIndex(const std::string& name) const {
  for (size_t i = 0; i < inputNames_.size(); ++i)
    if (inputNames_[i] == name) return i;
  throw std::runtime_error(path_ + " has no input " + name);
}

size_t OnnxNet::outputIndex(const std::string& name) const {
  for (size_t i = 0; i < outputNames_.size(); ++i)
    if (outputNames_[i] == name) return i;
  throw std::runtime_error(path_ + " has no output " + name);
}

std::vector<int64_t> OnnxNet::inputShape(size_t i, size_t count) const {
  std::vector<int64_t> dims = inputDims_.at(i);
  int64_t known = 1;
  int free = -1;
  for (size_t d = 0; d < dims.size(); ++d) {
    if (dims[d] > 0) {
      known *= dims[d];
    } else if (free < 0) {
      free = int(d);
    } else {
      dims[d] = 1;
    }
  }
  bool ok;
  if (free >= 0) {
    ok = known > 0 && count % size_t(known) == 0 && count > 0;
    if (ok) dims[size_t(free)] = int64_t(count) / known;
  } else {
    ok = size_t(known) == count;
  }
  if (!ok)
    throw std::runtime_error(path_ + ": input " + inputNames_[i] + " takes " + shapeText(inputDims_[i]) +
                             ", which cannot hold " + std::to_string(count) + " values");
  return dims;
}

void OnnxNet::run(const std::vector<const float*>& ins, const std::vector<size_t>& inCounts,
              const std::vector<float*>& outs, const std::vector<size_t>& outCounts) {
  std::vector<Out> list;
  for (size_t o = 0; o < outs.size(); ++o) list.push_back({o, outs[o], outCounts[o]});
  run(ins, inCounts, list);
}

void OnnxNet::run(const std::vector<const float*>& ins, const std::vector<size_t>& inCounts,
                  const std::vector<Out>& outs) {
  if (ins.size() != inputNames_.size()) throw std::logic_error("OnnxNet::run: one array per input is required");
  std::vector<Ort::Value> values;
  std::vector<const char*> inNames, outNames;
  for (size_t i = 0; i < ins.size(); ++i) {
    if (shapeCounts_[i] != inCounts[i]) {
      shapes_[i] = inputShape(i, inCounts[i]);
      shapeCounts_[i] = inCounts[i];
    }
    values.push_back(Ort::Value::CreateTensor<float>(cpu_, const_cast<float*>(ins[i]), inCounts[i], shapes_[i].data(),
                                                     shapes_[i].size()));
    inNames.push_back(inputNames_[i].c_str());
  }
  for (const Out& o : outs) outNames.push_back(outputNames_.at(o.index).c_str());
  std::vector<Ort::Value> results;
  try {
    results = session_.Run(Ort::RunOptions{nullptr}, inNames.data(), values.data(), values.size(), outNames.data(),
                           outNames.size());
  } catch (const Ort::Exception& e) {
    throw std::runtime_error(path_ + ": run failed: " + e.what());
  }
  for (size_t o = 0; o < outs.size(); ++o) {
    const std::string& name = outputNames_[outs[o].index];
    Ort::TensorTypeAndShapeInfo info = results[o].GetTensorTypeAndShapeInfo();
    if (info.GetElementType() != ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT)
      throw std::runtime_error(path_ + ": output " + name + " is not single precision");
    const size_t n = info.GetElementCount();
    if (n != outs[o].count)
      throw std::runtime_error(path_ + ": output " + name + " has " + std::to_string(n) + " values where " +
                               std::to_string(outs[o].count) + " are expected");
    const float* src = results[o].GetTensorData<float>();
    std::copy(src, src + n, outs[o].dst);
  }
}

}  // namespace le
