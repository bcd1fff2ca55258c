#!/usr/bin/env python3
"""Writes a one-node ONNX model, y = x + b with b = [1, 2, 3, 4], for the
dependency smoke test."""
import sys

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper


def main(out_path):
    b = numpy_helper.from_array(np.array([1, 2, 3, 4], dtype=np.float32), name="b")
    node = helper.make_node("Add", ["x", "b"], ["y"])
    graph = helper.make_graph(
        [node], "smoke",
        [helper.make_tensor_value_info("x", TensorProto.FLOAT, [4])],
        [helper.make_tensor_value_info("y", TensorProto.FLOAT, [4])],
        initializer=[b])
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)])
    model.ir_version = 8
    onnx.checker.check_model(model)
    onnx.save(model, out_path)


if __name__ == "__main__":
    main(sys.argv[1])
