#!/usr/bin/python3
"""Writes the tiny segmentation networks the effects integration tests run on the real runtime.

Each network's person mask is the red channel of its input, so a test knows the mask to expect
from the frame it feeds:
  dynamic_nchw.onnx  input [1, 3, h, w] (both sizes dynamic), output [1, 1, h, w]
  nhwc.onnx          input [1, 256, 256, 3], output [1, 256, 256, 1]
  two_channel.onnx   input [1, 3, 256, 256], output [1, 2, 256, 256]: channel 0 = 1 - red, 1 = red
  corrupt.onnx       fixed pseudo-random bytes, no network at all
Usage: make_test_models.py OUTPUT_FOLDER
"""
import os
import random
import sys

import numpy as np
from onnx import TensorProto, checker, helper, numpy_helper, save

OPSET = 13


def constant(name, values, dtype=np.int64):
    return numpy_helper.from_array(np.array(values, dtype=dtype), name)


def red_plane(input_name, axis, output_name):
    """A Slice that keeps channel 0 (red) along `axis`, and the constants it reads."""
    node = helper.make_node("Slice", [input_name, "start", "end", "axis"], [output_name])
    return node, [constant("start", [0]), constant("end", [1]), constant("axis", [axis])]


def write(folder, name, input_shape, output_shape, nodes, initializers):
    graph = helper.make_graph(
        nodes, name,
        [helper.make_tensor_value_info("image", TensorProto.FLOAT, input_shape)],
        [helper.make_tensor_value_info("mask", TensorProto.FLOAT, output_shape)],
        initializers)
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", OPSET)])
    model.ir_version = 8
    checker.check_model(model)
    save(model, os.path.join(folder, name + ".onnx"))


def main():
    folder = sys.argv[1]
    os.makedirs(folder, exist_ok=True)

    node, consts = red_plane("image", 1, "mask")
    write(folder, "dynamic_nchw", [1, 3, "height", "width"], [1, 1, "height", "width"], [node], consts)

    node, consts = red_plane("image", 3, "mask")
    write(folder, "nhwc", [1, 256, 256, 3], [1, 256, 256, 1], [node], consts)

    node, consts = red_plane("image", 1, "red")
    inverse = helper.make_node("Sub", ["one", "red"], ["not_red"])
    both = helper.make_node("Concat", ["not_red", "red"], ["mask"], axis=1)
    write(folder, "two_channel", [1, 3, 256, 256], [1, 2, 256, 256], [node, inverse, both],
          consts + [constant("one", [1.0], np.float32)])

    rng = random.Random(20240607)
    with open(os.path.join(folder, "corrupt.onnx"), "wb") as f:
        f.write(bytes(rng.randrange(256) for _ in range(4096)))


if __name__ == "__main__":
    main()
