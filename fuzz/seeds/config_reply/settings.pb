1:1234567890:ios:abcdef"$
measurement.upload.interval60000"3
,measurement.audience.filter_result_max_count200*
tutorial_skipz
 