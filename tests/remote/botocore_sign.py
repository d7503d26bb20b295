#!/usr/bin/python3
"""Signs requests read as JSON from standard input with botocore's S3 signer and prints one
signature a line: the oracle the host's own signer is held to."""
import json
import sys

from botocore.auth import S3SigV4Auth
from botocore.awsrequest import AWSRequest
from botocore.credentials import Credentials

for case in json.load(sys.stdin):
    request = AWSRequest(method="GET", url="https://%s%s" % (case["host"], case["target"]),
                         headers=case["headers"])
    request.context["timestamp"] = case["date"]
    signer = S3SigV4Auth(Credentials(case["id"], case["secret"], case["token"] or None), "s3", case["region"])
    print(signer.signature(signer.string_to_sign(request, signer.canonical_request(request)), request))
