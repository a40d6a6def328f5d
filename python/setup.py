"""Build step of the tarvex package: the gRPC modules are generated from proto/tarvex.proto here,
when the package is built, with the system's protoc and its Python gRPC plugin (or, where that
is missing, the grpc_tools module)."""
import os
import shutil
import subprocess
import sys
import tempfile

from setuptools import setup
from setuptools.command.build_py import build_py

HERE = os.path.dirname(os.path.abspath(__file__))
PROTO = os.path.join(HERE, "..", "proto", "tarvex.proto")


def generate(out_dir: str) -> None:
    if not os.path.isfile(PROTO):
        sys.exit("tarvex: %s not found (build the package from the repository's python/ folder)" % PROTO)
    os.makedirs(out_dir, exist_ok=True)
    with tempfile.TemporaryDirectory() as tmp:
        shutil.copy(PROTO, tmp)
        plugin = shutil.which("grpc_python_plugin")
        if shutil.which("protoc") and plugin:
            command = ["protoc", "--plugin=protoc-gen-grpc_python=" + plugin, "--grpc_python_out=" + out_dir]
        else:
            command = [sys.executable, "-m", "grpc_tools.protoc", "--grpc_python_out=" + out_dir]
        subprocess.run(command + ["-I" + tmp, "--python_out=" + out_dir, os.path.join(tmp, "tarvex.proto")], check=True)
    # The service module imports the message module as a top-level one: make it package-relative.
    service = os.path.join(out_dir, "tarvex_pb2_grpc.py")
    with open(service, encoding="utf-8") as f:
        text = f.read()
    with open(service, "w", encoding="utf-8") as f:
        f.write(text.replace("\nimport tarvex_pb2 as", "\nfrom . import tarvex_pb2 as"))
    with open(os.path.join(out_dir, "__init__.py"), "w", encoding="utf-8") as f:
        f.write('"""Generated from proto/tarvex.proto when the package was built."""\n')


class BuildWithProto(build_py):
    def run(self) -> None:
        super().run()
        generate(os.path.join(self.build_lib, "tarvex", "_grpc"))


setup(cmdclass={"build_py": BuildWithProto})
