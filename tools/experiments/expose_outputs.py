"""Copies an ONNX model with every node output also declared as a graph
output, so a program can compare the intermediate tensors of two runs."""
import sys

import onnx
from onnx import helper

src, dst = sys.argv[1], sys.argv[2]
m = onnx.load(src)
declared = {o.name for o in m.graph.output}
for node in m.graph.node:
    for out in node.output:
        if out and out not in declared:
            m.graph.output.append(helper.make_empty_tensor_value_info(out))
            declared.add(out)
onnx.save(m, dst)
print("%s: %d outputs" % (dst, len(m.graph.output)))
