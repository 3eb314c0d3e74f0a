/* A loadable library without ReqFieldGet: stands in for a broken request
 * library in the device-information tests. */
int ReqFieldGot(const char *request, const char *field, char *value);

int ReqFieldGot(const char *request, const char *field, char *value)
{
    (void)request;
    (void)field;
    value[0] = '\0';
    return 0;
}
